#include "host/KZRTPSession.h"

namespace KZAPI {

struct KZRTPSession::State {};

KZRTPSession::KZRTPSession() : m_state(std::make_unique<State>()) {}
KZRTPSession::~KZRTPSession() = default;
void KZRTPSession::Reset() {}
void KZRTPSession::SetLocalAddress(const char*) {}
void KZRTPSession::SetLocalPort(uint16_t) {}
uint16_t KZRTPSession::GetLocalPort() const {
    return 0;
}
void KZRTPSession::ClearDestinations() {}
bool KZRTPSession::AddDestination(const char*, uint16_t) {
    return false;
}
void KZRTPSession::SetDefaultPayloadType(uint8_t) {}
void KZRTPSession::SetDefaultMark(bool) {}
void KZRTPSession::SetDefaultTimestampIncrement(uint32_t) {}
void KZRTPSession::SetPollMode(bool) {}
bool KZRTPSession::GetPollMode() const {
    return true;
}
void KZRTPSession::SetLocalSSRC(uint32_t) {}
uint32_t KZRTPSession::GetLocalSSRC() const {
    return 0;
}
void KZRTPSession::SetClock(const CKZClock*) {}
bool KZRTPSession::Start() {
    return false;
}
bool KZRTPSession::Start(int, int) {
    return false;
}
void KZRTPSession::Stop() {}
bool KZRTPSession::IsRunning() const {
    return false;
}
int KZRTPSession::SendPacket(const void*, int, int) {
    return 0;
}
int KZRTPSession::SendPacket(const void*, int, uint8_t, bool, uint32_t, int) {
    return 0;
}
int KZRTPSession::BuildPacket(uint8_t*, int, const void*, int, uint8_t, bool, uint32_t) {
    return 0;
}
int KZRTPSession::SendRTPRawPacket(const void*, int) {
    return 0;
}
void KZRTPSession::CheckPacket() {}
uint64_t KZRTPSession::GetSessionDurationMs() const {
    return 0;
}
KZRTPStats KZRTPSession::GetStats() const {
    return {};
}
void KZRTPSession::ReadSocket(int) {}
void KZRTPSession::SetNominalSendInterval(unsigned) {}
KZRTPSendJitter KZRTPSession::GetProcessSendJitter() { return {}; }
void KZRTPSession::ResetProcessSendJitter() {}

} // namespace KZAPI
