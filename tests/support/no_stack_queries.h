// Host queries of a host without a SIP stack, for control-socket tests.
#pragma once

#include "app/KZControlCommands.h"

namespace kztest {

class NoStack final : public kzapp::IKZHostQueries {
public:
    std::vector<kzapp::KZChannelStatus> channels; // what the calls listing shows
    bool ReadStackStats(KZ_SIPStackStats&) override { return false; }
    std::vector<kzapp::KZChannelStatus> ListChannels() override { return channels; }
    kzapp::KZMediaTiming ReadMediaTiming(bool) override { return {}; }
};

} // namespace kztest
