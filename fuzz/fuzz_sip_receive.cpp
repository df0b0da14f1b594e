// Feeds arbitrary bytes into the stack's receive processing, as datagrams or as a TCP byte
// stream cut at arbitrary points, then runs the dialog bookkeeping and a few timer sweeps.
// No sockets are involved: blocks go straight into the received-data queue.
#include "host/CKZClock.h"
#include "host/KZNetAddr.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/CSIPStreamFramer.h"
#include "sipstack/sip_group.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void push(sip_group& stack, const char* data, size_t len, int32_t protocol) {
    sip_cmd cmd;
    cmd.from_ip = 0x0100007F; // 127.0.0.1
    cmd.from_port = 5062;
    cmd.to_ip = 0x0100007F;
    cmd.to_port = 5060;
    cmd.protocol = protocol;
    cmd.assign(data, len);
    stack.PushReceived(std::move(cmd));
}

void drain(CSIPProcessThread& queue) {
    KZSIPEvent e;
    for (int i = 0; i < 10000 && queue.RunOnePass(&e, false); ++i) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static KZAPI::CKZManualClock clock;
    static const bool no_dns = [] {
        KZAPI::KZ_SetNameResolution(false); // a fuzzer never waits on DNS
        return true;
    }();
    (void)no_dns;
    sip_group stack;
    stack.SetClock(&clock);
    CSIPProcessThread queue(CSIPProcessThread::QUEUE_POLLED);
    queue.Attach(&stack, nullptr);

    const bool as_stream = data[0] & 1;
    const size_t chunk = 1 + data[1] % 64; // stream read size
    const char* text = reinterpret_cast<const char*>(data + 2);
    size = size - 2;

    if (as_stream) {
        CSIPStreamFramer framer(4096);
        std::string message;
        for (size_t pos = 0; pos < size; pos += chunk) {
            if (!framer.Append(text + pos, std::min(chunk, size - pos))) break; // peer disconnected
            while (framer.Next(&message))
                push(stack, message.data(), message.size(), 1);
            drain(queue);
        }
    } else {
        // Datagrams are separated by a NUL byte in the input.
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            if (i == size || text[i] == '\0') {
                if (i > start) push(stack, text + start, i - start, 0);
                start = i + 1;
            }
        }
        drain(queue);
    }
    for (int second = 0; second < 3; ++second) {
        clock.Advance(1);
        drain(queue);
    }
    queue.Detach();
    return 0;
}
