#include "host/CKZDSP.h"

namespace KZAPI {

CKZDSP::CKZDSP(int audio_format, CKZDSPTimer* timer) : m_audio_format(audio_format), m_timer(timer) {}
CKZDSP::~CKZDSP() = default;
bool CKZDSP::AddApp(CKZDSPApp*) {
    return false;
}
bool CKZDSP::RemoveApp(CKZDSPApp*) {
    return false;
}
void CKZDSP::DeliverRxFrame(uint16_t, uint32_t, const uint8_t*, int) {}
void CKZDSP::DeliverTxFrame(uint16_t, uint32_t, const uint8_t*, int) {}
void CKZDSP::StartTimer(unsigned) {}
void CKZDSP::StopTimer() {}
void CKZDSP::Tick() {}
int CKZDSP::FullDuplexConnect(CKZDSP*, CKZDSP*) {
    return -1;
}
int CKZDSP::FullDuplexDisconnect(CKZDSP*, CKZDSP*) {
    return -1;
}
int CKZDSP::HalfDuplexConnect(CKZDSP*, CKZDSP*) {
    return -1;
}
int CKZDSP::HalfDuplexDisconnect(CKZDSP*, CKZDSP*) {
    return -1;
}
void CKZDSP::DisconnectAll() {}
bool CKZDSP::IsListeningTo(const CKZDSP*) const {
    return false;
}
bool CKZDSP::AddListener(CKZDSP*) {
    return false;
}
bool CKZDSP::RemoveListener(CKZDSP*) {
    return false;
}

} // namespace KZAPI
