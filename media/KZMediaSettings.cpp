#include "media/KZMediaSettings.h"

#include "host/CKZCfgInterface.h"
#include "host/KZStrFunc.h"
#include "host/audiocodec/KZAudioCodec.h"

#include <algorithm>

#include <cstdlib>
#include <string>
#include <string_view>

using KZAPI::CKZCfgInterface;

std::vector<int> KZMediaSettings::ParsePreferList(const char* text) {
    std::vector<int> codes;
    std::string_view rest = text ? text : "";
    while (!rest.empty() && codes.size() < kMaxPreferredCodecs) {
        const size_t comma = rest.find(',');
        const std::string piece(KZAPI::trim_white(rest.substr(0, comma)));
        if (!piece.empty()) codes.push_back(std::atoi(piece.c_str()));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return codes;
}

namespace {

// A codec this host can only decode is never offered or chosen: the call could not send.
void drop_receive_only_codecs(std::vector<int>& codes) {
    constexpr int kILBC20ms = 103;
    constexpr int kILBC30ms = 104;
    if (KZAUDIO::iLBC_CanEncode()) return;
    std::erase_if(codes, [](int code) { return code == kILBC20ms || code == kILBC30ms; });
}

} // namespace

KZMediaSettings KZMediaSettings::FromConfiguration() {
    KZMediaSettings settings;
    settings.audioPreferList =
        ParsePreferList(CKZCfgInterface::CFG_GetValue("kzsrv.sip.prefered.codec", "102,104,103,3,0,8"));
    drop_receive_only_codecs(settings.audioPreferList);
    settings.videoPreferList =
        ParsePreferList(CKZCfgInterface::CFG_GetValue("kzsrv.sip.prefered.video.codec", "34,124,115"));
    settings.srtpMode = CKZCfgInterface::CFG_GetIntValue("kzsrv.srtp.type", SRTP_OPTIONAL);
    settings.usePreferCodecInOK =
        CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.use.prefer.codec.in.ok", 0) != 0;
    settings.defaultDTMFPayload = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.default.dtmf.payload", 101);
    settings.vadEnabled = CKZCfgInterface::CFG_GetIntValue("kzsrv.sip.vad.enabled", 0) != 0;
    return settings;
}
