#include "app/KZCallText.h"

#include "host/CKZCall.h"

#include <utility>

namespace kzapp {

namespace {

template <class Table> const char* lookup(const Table& table, int key) {
    for (const auto& [k, text] : table)
        if (k == key) return text;
    return nullptr;
}

constexpr std::pair<int, const char*> kStatusNames[] = {
    {KZAPI::CKZCall::CALL_STATUS_IDLE, "idle"},
    {KZAPI::CKZCall::CALL_STATUS_CALLING, "calling"},
    {KZAPI::CKZCall::CALL_STATUS_RINGING, "ringing"},
    {KZAPI::CKZCall::CALL_STATUS_OFFERED, "offered"},
    {KZAPI::CKZCall::CALL_STATUS_ANSWERING, "answering"},
    {KZAPI::CKZCall::CALL_STATUS_CONNECTED, "connected"},
    {KZAPI::CKZCall::CALL_STATUS_DISCONNECTED, "disconnecting"},
    {KZAPI::CKZCall::CALL_STATUS_RESERVED, "reserved"},
};

// The audio codecs the module negotiates, by the code it reports for them.
constexpr std::pair<int, const char*> kCodecNames[] = {
    {0, "PCMU/8000"},     {2, "G726-32/8000"},  {3, "GSM/8000"},      {4, "G723/8000"},
    {8, "PCMA/8000"},     {9, "G722/8000"},     {18, "G729/8000"},    {96, "G726-16/8000"},
    {97, "G726-24/8000"}, {98, "G726-32/8000"}, {99, "G726-40/8000"}, {102, "speex/8000"},
    {103, "iLBC/8000"},   {104, "iLBC/8000"},   {105, "AMR/8000"},    {114, "opus/48000"},
};

constexpr std::pair<int, const char*> kReasonPhrases[] = {
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {410, "Gone"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"},
    {415, "Unsupported Media Type"},
    {416, "Unsupported URI Scheme"},
    {420, "Bad Extension"},
    {421, "Extension Required"},
    {423, "Interval Too Brief"},
    {480, "Temporarily Unavailable"},
    {481, "Call/Transaction Does Not Exist"},
    {482, "Loop Detected"},
    {483, "Too Many Hops"},
    {484, "Address Incomplete"},
    {485, "Ambiguous"},
    {486, "Busy Here"},
    {487, "Request Terminated"},
    {488, "Not Acceptable Here"},
    {491, "Request Pending"},
    {493, "Undecipherable"},
    {500, "Server Internal Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Server Time-out"},
    {505, "Version Not Supported"},
    {513, "Message Too Large"},
    {600, "Busy Everywhere"},
    {603, "Decline"},
    {604, "Does Not Exist Anywhere"},
    {606, "Not Acceptable"},
};

} // namespace

const char* call_status_name(int status) {
    const char* name = lookup(kStatusNames, status);
    return name ? name : "unknown";
}

const char* codec_name(int codec) {
    const char* name = lookup(kCodecNames, codec);
    return name ? name : "";
}

const char* sip_reason_phrase(int code) {
    if (const char* phrase = lookup(kReasonPhrases, code)) return phrase;
    const char* class_phrase = lookup(kReasonPhrases, code / 100 * 100);
    return class_phrase ? class_phrase : "";
}

} // namespace kzapp
