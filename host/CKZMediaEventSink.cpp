#include "host/CKZMediaEventSink.h"

#include <atomic>

namespace KZAPI {

namespace {
std::atomic<CKZMediaEventSink*> g_media_sink{nullptr};
}

void CKZMediaEventSink::SetMediaEventSink(CKZMediaEventSink* sink) {
    g_media_sink.store(sink);
}

CKZMediaEventSink* CKZMediaEventSink::GetMediaEventSink() {
    return g_media_sink.load();
}

} // namespace KZAPI
