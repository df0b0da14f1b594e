#include "sipmsg/sip_dialog.h"

#include "host/KZStrFunc.h"

namespace {
uint32_t draw_random_value() {
    return static_cast<uint32_t>(1000 + 8000 * KZAPI::get_rand_rate());
}
} // namespace

sip_dialog::sip_dialog() : random_value(draw_random_value()) {}

sip_dialog::sip_dialog(const sip_dialog& other) {
    copy_from(other);
}

sip_dialog& sip_dialog::operator=(const sip_dialog& other) {
    if (this != &other) copy_from(other);
    return *this;
}

sip_dialog::~sip_dialog() = default;

void sip_dialog::copy_from(const sip_dialog& o) {
    connection_id = o.connection_id;
    random_value = o.random_value;
    call_id = o.call_id;
    remote_tag = o.remote_tag;
    local_tag = o.local_tag;
    branch = o.branch;
    request_received_time = o.request_received_time;
    request_received.copy_msg_from(&o.request_received);
    response_sent.copy_msg_from(&o.response_sent);
    request_sent_time = o.request_sent_time;
    request_sent.copy_msg_from(&o.request_sent);
    response_received.copy_msg_from(&o.response_received);
    state = o.state;
    direction = o.direction;
    first_request.copy_msg_from(&o.first_request);
    establishing_response.copy_msg_from(&o.establishing_response);
    ack.copy_msg_from(&o.ack);
    final_response_time = o.final_response_time;
    last_activity_time = o.last_activity_time;
    trying_sent = o.trying_sent;
    protocol = o.protocol;
    connection = o.connection;
}

void sip_dialog::reset_all() {
    for (sip_msg* m : {&request_received, &response_sent, &request_sent, &response_received, &first_request,
                       &establishing_response, &ack})
        m->reset_all();
    connection_id = 0;
    random_value = draw_random_value();
    call_id.Empty();
    remote_tag.Empty();
    local_tag.Empty();
    branch.Empty();
    request_received_time = request_sent_time = final_response_time = last_activity_time = 0;
    state = STATE_IDLE;
    direction = DIR_INCOMING;
    trying_sent = 0;
    protocol = 0;
    connection = nullptr;
}
