// Sealing of short texts that travel through a peer and come back, such as the issue time inside
// a digest nonce. A sealed text is lower-case hexadecimal (so it fits anywhere a SIP token or a
// quoted nonce may stand) and tamper-evident: opening it with other keys, or after any change,
// gives "". Each sealing draws a fresh random salt, so the same text never seals the same way
// twice.
//
// Scheme: from the two keys an encryption key and a MAC key are derived with HMAC-SHA1. The sealed
// bytes are salt (8 random bytes) || plain text XOR keystream || tag (10 bytes), where keystream
// block i is HMAC-SHA1(encryption key, salt || i) and the tag is HMAC-SHA1(MAC key, salt || plain
// text), cut to 10 bytes.
#pragma once

#include <string>

namespace KZAPI {

// Seals plain_text under key1 and key2 (null is taken as ""). "" when no random salt could be drawn.
std::string KZ_SimpleEncrypt(const char* plain_text, const char* key1, const char* key2);

// Opens a text sealed by KZ_SimpleEncrypt with the same keys; "" when it does not open (wrong keys,
// altered, cut or not a sealed text at all). A sealed empty text also opens to "".
std::string KZ_SimpleDecrypt(const char* sealed_text, const char* key1, const char* key2);

} // namespace KZAPI
