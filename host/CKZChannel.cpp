#include "host/CKZChannel.h"

namespace KZAPI {

unsigned CKZChannel::Start() {
    return m_call_control ? m_call_control->Start() : 1;
}

unsigned CKZChannel::Stop() {
    return m_call_control ? m_call_control->Stop() : 1;
}

void CKZChannel::FreeCallControl() {
    delete m_call_control;
    m_call_control = nullptr;
}

void CKZChannel::FreeAudioControl() {
    delete m_audio_control;
    m_audio_control = nullptr;
}

void CKZChannel::FreeDTMFControl() {
    delete m_dtmf_control;
    m_dtmf_control = nullptr;
    m_dtmf_app = nullptr;
}

void CKZChannel::SetDTMFControl(CKZDTMFControl* control) {
    m_dtmf_control = control;
    m_dtmf_app = dynamic_cast<CKZDSPApp*>(control);
}

void CKZChannel::FreeToneControl() {
    delete m_tone_control;
    m_tone_control = nullptr;
}

void CKZChannel::SetConnection(CKZChannel* peer, bool half_duplex) {
    CMutexLock lock(m_channel_mutex);
    m_peer = peer;
    m_connected = peer != nullptr;
    m_half_duplex = peer != nullptr && half_duplex;
}

} // namespace KZAPI
