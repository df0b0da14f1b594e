// Host queries of a host without a SIP stack or channels, for control-socket tests.
#pragma once

#include "app/KZControlCommands.h"

namespace kztest {

class NoStack final : public kzapp::IKZHostQueries {
public:
    bool ReadStackStats(KZ_SIPStackStats&) override { return false; }
    std::vector<kzapp::KZChannelStatus> ListChannels() override { return {}; }
    kzapp::KZMediaTiming ReadMediaTiming(bool) override { return {}; }
};

} // namespace kztest
