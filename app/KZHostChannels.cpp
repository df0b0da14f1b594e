#include "app/KZHostChannels.h"

#include "host/CKZChannel.h"
#include "host/CKZClassEnv.h"
#include "host/CKZSpan.h"

namespace kzapp {

using KZAPI::AfxGetClassEnv;
using KZAPI::CKZChannel;
using KZAPI::CKZSpan;

CKZSpan* KZHostChannels::SpanWithRoom() {
    if (!m_spans.empty()) {
        CKZSpan* last = m_spans.back();
        if (last->GetChannelCount() < last->GetNumOfChannels()) return last;
    }
    // The factory hands spans out as their host base.
    auto* span = static_cast<CKZSpan*>(AfxGetClassEnv()->Allocate(kSpanClass));
    if (span) m_spans.push_back(span);
    return span;
}

bool KZHostChannels::AddChannel(int number) {
    CKZSpan* span = SpanWithRoom();
    if (!span) return false;
    auto* channel = static_cast<CKZChannel*>(AfxGetClassEnv()->Allocate(kChannelClass));
    if (!channel) return false;
    channel->SetChannelNumber(number);
    if (!channel->Create()) {
        channel->Destroy();
        AfxGetClassEnv()->Free(kChannelClass, channel);
        return false;
    }
    m_channels.push_back(channel);
    m_server.AddChannel(channel);
    span->AddChannel(channel);
    return true;
}

std::string KZHostChannels::Start(int count) {
    if (m_running || count < 0) return count < 0 ? "kzhost.channels must not be negative" : "";
    m_running = true;
    for (int number = 0; number < count; ++number) {
        if (!AddChannel(number)) {
            Stop();
            return "the module made no SIP channel " + std::to_string(number);
        }
    }
    for (CKZChannel* channel : m_channels) {
        if (!channel->Start()) {
            const int number = channel->GetChannelNumber();
            Stop();
            return "SIP channel " + std::to_string(number) + " did not start";
        }
        m_started.push_back(true);
    }
    for (CKZSpan* span : m_spans)
        span->Start();
    return "";
}

void KZHostChannels::Stop() {
    if (!m_running) return;
    m_running = false;
    for (auto span = m_spans.rbegin(); span != m_spans.rend(); ++span)
        (*span)->Stop();
    for (size_t i = m_started.size(); i-- > 0;)
        m_channels[i]->Stop();
    m_started.clear();
    for (auto it = m_channels.rbegin(); it != m_channels.rend(); ++it) {
        CKZChannel* channel = *it;
        for (CKZSpan* span : m_spans)
            span->RemoveChannel(channel);
        m_server.RemoveChannel(channel);
        channel->Destroy();
        AfxGetClassEnv()->Free(kChannelClass, channel);
    }
    m_channels.clear();
    for (auto span = m_spans.rbegin(); span != m_spans.rend(); ++span)
        AfxGetClassEnv()->Free(kSpanClass, *span);
    m_spans.clear();
}

} // namespace kzapp
