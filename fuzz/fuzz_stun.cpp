// Parses arbitrary bytes as a STUN message, as the client and the server do with every datagram
// they read. A message that parses must encode again and parse back to the same record, and
// the integrity and fingerprint checks must cope with whatever they are given.
#include "host/CKZLogInterface.h"
#include "nat/CKZStunMessage.h"

#include <cstdint>
#include <cstring>

namespace {

bool same_text(const KZStunText& a, const KZStunText& b) {
    return a.size == b.size && memcmp(a.value, b.value, a.size) == 0 && a.value[a.size] == '\0';
}

bool same_record(const CKZStunMessage& a, const CKZStunMessage& b) {
    if (a.msg_type != b.msg_type || memcmp(a.id, b.id, sizeof(a.id)) != 0) return false;
    if (a.has_mapped_address != b.has_mapped_address || a.has_response_address != b.has_response_address ||
        a.has_change_request != b.has_change_request || a.has_source_address != b.has_source_address ||
        a.has_changed_address != b.has_changed_address || a.has_username != b.has_username ||
        a.has_password != b.has_password || a.has_error_code != b.has_error_code ||
        a.has_unknown_attributes != b.has_unknown_attributes ||
        a.has_reflected_from != b.has_reflected_from || a.has_xor_only != b.has_xor_only ||
        a.has_xor_mapped_address != b.has_xor_mapped_address || a.has_server_name != b.has_server_name ||
        a.has_secondary_address != b.has_secondary_address ||
        a.has_message_integrity != b.has_message_integrity)
        return false;
    if (a.has_mapped_address && !(a.mapped_address == b.mapped_address)) return false;
    if (a.has_response_address && !(a.response_address == b.response_address)) return false;
    if (a.has_change_request && a.change_request != b.change_request) return false;
    if (a.has_source_address && !(a.source_address == b.source_address)) return false;
    if (a.has_changed_address && !(a.changed_address == b.changed_address)) return false;
    if (a.has_username && !same_text(a.username, b.username)) return false;
    if (a.has_password && !same_text(a.password, b.password)) return false;
    if (a.has_error_code &&
        (a.error_code.Code() != b.error_code.Code() || !same_text(a.error_code.reason, b.error_code.reason)))
        return false;
    if (a.has_unknown_attributes && (a.unknown_attributes.count != b.unknown_attributes.count ||
                                     memcmp(a.unknown_attributes.types, b.unknown_attributes.types,
                                            2u * a.unknown_attributes.count) != 0))
        return false;
    if (a.has_reflected_from && !(a.reflected_from == b.reflected_from)) return false;
    if (a.has_xor_mapped_address && !(a.xor_mapped_address == b.xor_mapped_address)) return false;
    if (a.has_server_name && !same_text(a.server_name, b.server_name)) return false;
    if (a.has_secondary_address && !(a.secondary_address == b.secondary_address)) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_ERROR);
    static const char key[] = "fuzz key";

    (void)CKZStunMessage::CheckIntegrity(data, size, key, sizeof(key) - 1);
    (void)CKZStunMessage::CheckFingerprint(data, size);

    CKZStunMessage msg;
    if (!msg.Parse(data, size)) {
        if (msg.GetParseError()[0] == '\0') __builtin_trap(); // every refusal says why
        return 0;
    }

    // Encode again (signed when the input was) and parse the result back.
    uint8_t buf[2 * KZ_STUN_MAX_MESSAGE];
    const bool sign = msg.has_message_integrity;
    const size_t len = msg.Encode(buf, sizeof(buf), sign ? key : nullptr, sign ? sizeof(key) - 1 : 0, true);
    if (len == 0 || len % 4 != 0) __builtin_trap();
    CKZStunMessage again;
    if (!again.Parse(buf, len) || !same_record(msg, again)) __builtin_trap();
    if (!CKZStunMessage::CheckFingerprint(buf, len)) __builtin_trap();
    if (sign && !CKZStunMessage::CheckIntegrity(buf, len, key, sizeof(key) - 1)) __builtin_trap();
    return 0;
}
