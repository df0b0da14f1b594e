// Server-wide media settings that codec negotiation needs, read once from configuration.
#pragma once

#include <cstddef>
#include <vector>

enum KZSRTPMode : int { SRTP_OFF = 0, SRTP_OPTIONAL = 1, SRTP_REQUIRED = 2 };

struct KZMediaSettings {
    static constexpr size_t kMaxPreferredCodecs = 50;

    std::vector<int> audioPreferList{102, 104, 103, 3, 0, 8};
    std::vector<int> videoPreferList{34, 124, 115};
    int srtpMode = SRTP_OPTIONAL;
    bool usePreferCodecInOK = false;
    int defaultDTMFPayload = 101;
    bool vadEnabled = false;

    static KZMediaSettings FromConfiguration();
    // Codec codes of a comma-separated text in order; pieces beyond kMaxPreferredCodecs are cut.
    static std::vector<int> ParsePreferList(const char* text);
};
