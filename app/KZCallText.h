// Words kzhost uses when it shows calls: host call status names, codec names and SIP reason
// phrases.
#pragma once

namespace kzapp {

// "idle", "calling", "ringing", "offered", "answering", "connected", "disconnecting",
// "reserved"; "unknown" for any other number.
const char* call_status_name(int status);
// "PCMU/8000" for the module's codec code (payload number or dynamic code); "" when unknown.
const char* codec_name(int codec);
// The standard reason phrase of a SIP final status code; an unknown code gets the phrase of its
// class (x00), as a SIP peer would read it.
const char* sip_reason_phrase(int code);

} // namespace kzapp
