#include "host/CKZSpan.h"

#include "host/CKZDSPApp.h"

#include <algorithm>

namespace KZAPI {

CKZSpan::~CKZSpan() {
    CKZTickThread::Instance().Unregister(this);
}

unsigned CKZSpan::Start() {
    CTimer::ForceTurn(); // timers armed before the span joined were left out of the turns' mark
    CKZTickThread::Instance().Register(this);
    m_started = true;
    return 1;
}

unsigned CKZSpan::Stop() {
    CKZTickThread::Instance().Unregister(this);
    m_started = false;
    return 1;
}

void CKZSpan::AddChannel(CKZChannel* channel) {
    CMutexLock lock(m_mutex);
    if (channel) m_channels.push_back(channel);
    CTimer::ForceTurn();
}

void CKZSpan::RemoveChannel(CKZChannel* channel) {
    CMutexLock lock(m_mutex);
    m_channels.erase(std::remove(m_channels.begin(), m_channels.end(), channel), m_channels.end());
}

CKZChannel* CKZSpan::GetChannel(int index) const {
    CMutexLock lock(m_mutex);
    if (index < 0 || index >= static_cast<int>(m_channels.size())) return nullptr;
    return m_channels[static_cast<size_t>(index)];
}

int CKZSpan::GetChannelCount() const {
    CMutexLock lock(m_mutex);
    return static_cast<int>(m_channels.size());
}

const std::vector<CKZChannel*>& CKZSpan::ChannelsForTurn() {
    CMutexLock lock(m_mutex);
    m_turn_channels.assign(m_channels.begin(), m_channels.end());
    return m_turn_channels;
}

} // namespace KZAPI
