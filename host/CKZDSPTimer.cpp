#include "host/CKZDSPTimer.h"

namespace KZAPI {

struct CKZDSPTimer::Impl {};

CKZDSPTimer::CKZDSPTimer(int, const CKZClock*) : m_impl(std::make_unique<Impl>()) {}
CKZDSPTimer::~CKZDSPTimer() = default;
CKZDSPTimer& CKZDSPTimer::Instance() {
    static CKZDSPTimer timer;
    return timer;
}
void CKZDSPTimer::Schedule(CKZDSP*, unsigned) {}
void CKZDSPTimer::Cancel(CKZDSP*) {}
int CKZDSPTimer::GetScheduledCount() const {
    return 0;
}
int CKZDSPTimer::RunDue() {
    return 0;
}
CKZDSPTimer::Lateness CKZDSPTimer::GetLateness() const {
    return {};
}
void CKZDSPTimer::ResetLateness() {}

} // namespace KZAPI
