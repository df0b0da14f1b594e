#include "host/CKZClock.h"

#include "host/KZStrFunc.h"

#include <ctime>

namespace KZAPI {

namespace {

class SystemClock : public CKZClock {
public:
    int64_t NowSeconds() const override { return static_cast<int64_t>(time(nullptr)); }
    uint64_t TickMs() const override { return KZ_GetTickCount(); }
};

} // namespace

CKZClock& CKZClock::System() {
    static SystemClock clock;
    return clock;
}

} // namespace KZAPI
