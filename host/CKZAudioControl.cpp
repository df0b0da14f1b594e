#include "host/CKZAudioControl.h"

#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/CKZMediaEventSink.h"
#include "host/KZStrFunc.h"

#include <cstring>

namespace KZAPI {

static_assert(sizeof(KZ_AC_PLAY_ENTRY::path) == KZ_AC_PLAY_ENTRY::kPathChars);

void CKZAudioControl::OnPlayAudioDone(int result, const char* text) {
    if (CKZMediaEventSink* sink = CKZMediaEventSink::GetMediaEventSink())
        sink->OnPlayDone(ChannelNumber(), result, text ? text : "");
}

void CKZAudioControl::OnRecordAudioDone(int result, const char* text) {
    if (CKZMediaEventSink* sink = CKZMediaEventSink::GetMediaEventSink())
        sink->OnRecordDone(ChannelNumber(), result, text ? text : "");
}

unsigned CKZAudioControl::AddAudioPlayDocument(const char* path, uint32_t offset) {
    if (!path || !*path) return 0;
    // A longer path would be cut to another file's name: refuse it whole.
    if (strnlen(path, KZ_AC_PLAY_ENTRY::kPathChars) >= KZ_AC_PLAY_ENTRY::kPathChars) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Play list path too long on channel %d",
                             ChannelNumber());
        return 0;
    }
    CMutexLock lock(GetCallMutex());
    if (m_play_count >= kMaxPlayList) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Play list full on channel %d", ChannelNumber());
        return 0;
    }
    KZ_AC_PLAY_ENTRY& entry = m_play_list[m_play_count];
    str_cpy(entry.path, path, sizeof(entry.path));
    entry.offset = offset;
    ++m_play_count;
    return 1;
}

unsigned CKZAudioControl::ClearAudioPlayDocument() {
    CMutexLock lock(GetCallMutex());
    m_play_count = 0;
    return 1;
}

int CKZAudioControl::GetPlayListSize() const {
    CMutexLock lock(const_cast<CKZAudioControl*>(this)->GetCallMutex());
    return m_play_count;
}

bool CKZAudioControl::GetPlayListEntry(int index, KZ_AC_PLAY_ENTRY& entry) const {
    CMutexLock lock(const_cast<CKZAudioControl*>(this)->GetCallMutex());
    if (index < 0 || index >= m_play_count) return false;
    entry = m_play_list[index];
    return true;
}

unsigned CKZAudioControl::StopAudio() {
    // Both directions are stopped even when the first had nothing to stop.
    const unsigned played = StopPlaying(nullptr);
    const unsigned recorded = StopRecording(nullptr);
    return (played || recorded) ? 1 : 0;
}

void CKZAudioControl::SetAudioFormat(const KZ_AC_AUDIO_FORMAT& format) {
    CMutexLock lock(GetCallMutex());
    m_format = format;
}

KZ_AC_AUDIO_FORMAT CKZAudioControl::GetAudioFormat() const {
    CMutexLock lock(const_cast<CKZAudioControl*>(this)->GetCallMutex());
    return m_format;
}

int CKZAudioControl::ChannelNumber() const {
    const CKZChannel* channel = GetChannel();
    return channel ? channel->GetChannelNumber() : -1;
}

} // namespace KZAPI
