#include "host/CKZToneControl.h"

#include "host/CKZCfgInterface.h"
#include "host/CKZChannel.h"
#include "host/CKZLogInterface.h"
#include "host/CKZMediaEventSink.h"
#include "host/KZStrFunc.h"

#include <cctype>
#include <string_view>

namespace KZAPI {

namespace {

constexpr const char* kToneTableKey = "kzsrv.tone.table";
constexpr int kDetectedRate = 8000;
// The band the detector looks in (below the 8 kHz rate's Nyquist limit), and cadence steps up
// to a minute.
constexpr int kMinFrequency = 100;
constexpr int kMaxFrequency = 3900;
constexpr int kMaxStepMs = 60000;

// A decimal number of at most 9 digits (no sign, no spaces), within [low, high].
bool ParseBounded(std::string_view text, int low, int high, int& value) {
    text = trim_white(text);
    if (text.empty() || text.size() > 9) return false;
    int parsed = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        parsed = parsed * 10 + (c - '0');
    }
    if (parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// Names travel in reports and event texts: letters, digits and "-_." only.
bool IsNameText(std::string_view name) {
    if (name.empty() || name.size() >= static_cast<size_t>(KZ_TONE_DEF::kNameChars)) return false;
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return false;
    return true;
}

// Splits `text` at the first `separator`: the part before it is returned, `text` keeps the rest
// (empty when there was no separator).
std::string_view TakeUntil(std::string_view& text, char separator) {
    const size_t at = text.find(separator);
    const std::string_view head = text.substr(0, at);
    text = at == std::string_view::npos ? std::string_view() : text.substr(at + 1);
    return head;
}

// "F1[+F2]"
bool ParseFrequencies(std::string_view text, KZ_TONE_DEF& def) {
    const bool two = text.find('+') != std::string_view::npos;
    const std::string_view first = TakeUntil(text, '+');
    if (!ParseBounded(first, kMinFrequency, kMaxFrequency, def.frequency1)) return false;
    def.frequency2 = 0;
    return !two || ParseBounded(text, kMinFrequency, kMaxFrequency, def.frequency2);
}

// "name=F1[+F2]/ON/OFF"
bool ParseEntry(std::string_view entry, KZ_TONE_DEF& def) {
    entry = trim_white(entry);
    if (entry.find('=') == std::string_view::npos) return false;
    const std::string_view name = trim_white(TakeUntil(entry, '='));
    const std::string_view frequencies = TakeUntil(entry, '/');
    const std::string_view on = TakeUntil(entry, '/');
    const std::string_view off = entry;
    if (off.find('/') != std::string_view::npos || !IsNameText(name)) return false;
    KZ_TONE_DEF parsed;
    if (!ParseFrequencies(frequencies, parsed) || !ParseBounded(on, 1, kMaxStepMs, parsed.on_ms) ||
        !ParseBounded(off, 0, kMaxStepMs, parsed.off_ms))
        return false;
    static_assert(sizeof(parsed.name) == KZ_TONE_DEF::kNameChars);
    str_ncpy(parsed.name, name.data(), name.size(), sizeof(parsed.name));
    def = parsed;
    return true;
}

} // namespace

CKZToneControl::~CKZToneControl() {
    KZ_TONE_Destroy(m_detector);
}

unsigned CKZToneControl::StartToneDetection() {
    CMutexLock lock(GetCallMutex());
    if (m_running.load()) return 1;
    // An absent or blank value means the defaults; a configured table replaces them whole.
    CString table = KZ_CFG_GetValue(kToneTableKey, "");
    const bool configured = !trim_white(table.GetString()).empty();
    if (!configured) table = DefaultToneTable();
    m_def_count = ParseToneTable(table.GetString(), m_defs, kMaxTones);
    if (m_def_count == 0) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "No usable tone in %s on channel %d",
                             configured ? kToneTableKey : "the default tone table", ChannelNumber());
        return 0;
    }
    m_detector = KZ_TONE_Create(m_defs, m_def_count);
    if (!m_detector) {
        CKZLogInterface::Log(CKZLogInterface::LOG_WARNING, "Tone detector not created on channel %d",
                             ChannelNumber());
        return 0;
    }
    m_detected_name[0] = '\0';
    m_running.store(true);
    return 1;
}

unsigned CKZToneControl::StopToneDetection() {
    CMutexLock lock(GetCallMutex());
    m_running.store(false);
    KZ_TONE_Destroy(m_detector);
    m_detector = nullptr;
    return 1;
}

void CKZToneControl::ProcessToneSamples(const int16_t* samples, int count, int rate, unsigned /*frame_ms*/) {
    if (!m_running.load() || !samples || count <= 0 || rate != kDetectedRate) return;
    CMutexLock lock(GetCallMutex());
    if (!m_detector) return;
    const int index = KZ_TONE_Process(m_detector, samples, count);
    if (index < 0 || index >= m_def_count) return;
    static_assert(sizeof(m_detected_name) == sizeof(m_defs[0].name));
    str_cpy(m_detected_name, m_defs[index].name, sizeof(m_detected_name));
    // Reported under the lock: the name lives here, and sinks only record what they hear.
    OnToneDetected(m_defs[index].frequency1);
}

void CKZToneControl::OnToneDetected(int frequency) {
    if (CKZMediaEventSink* sink = CKZMediaEventSink::GetMediaEventSink())
        sink->OnToneDetected(ChannelNumber(), m_detected_name, frequency);
}

int CKZToneControl::ParseToneTable(const char* text, KZ_TONE_DEF* defs, int capacity) {
    if (!text || !defs || capacity <= 0) return 0;
    std::string_view rest(text);
    int stored = 0;
    while (!rest.empty() && stored < capacity) {
        const std::string_view entry = TakeUntil(rest, ';');
        if (ParseEntry(entry, defs[stored])) ++stored;
    }
    return stored;
}

const char* CKZToneControl::DefaultToneTable() {
    // North-American (precise tones) first, then the European 425 Hz cadences. Dial tone is
    // continuous; it must outlast the longest ringback burst before it counts.
    return "dial=350+440/1500/0;"
           "dial=425/1500/0;"
           "ringback=440+480/2000/4000;"
           "ringback=425/1000/4000;"
           "busy=480+620/500/500;"
           "busy=425/500/500;"
           "congestion=480+620/250/250;"
           "congestion=425/250/250";
}

int CKZToneControl::ChannelNumber() const {
    const CKZChannel* channel = GetChannel();
    return channel ? channel->GetChannelNumber() : -1;
}

} // namespace KZAPI
