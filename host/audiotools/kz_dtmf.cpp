#include "host/audiotools/KZDTMF.h"

#include <spandsp.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <vector>

namespace KZAPI {

namespace {

constexpr char kCodeChars[] = "0123456789*#ABCDX";
constexpr int kFlashCode = 16;
constexpr int kRate = 8000;
// The receiver analyses blocks of this many samples and confirms a digit after two of them.
constexpr int kReceiverBlock = 102;
// A digit counts once the receiver has held it for three blocks: a tone of 30 ms is held for two
// at most (key bounce, speech), one of 50 ms for three at least, one of 40 ms for two or three
// depending on where the blocks fall.
constexpr int kMinDigitSamples = 3 * kReceiverBlock;
// -10 dBm0 per tone, the high group 2 dB above the low one: loud enough for any line, with
// headroom left for mu-law and A-law.
constexpr int kLowToneDbm0 = -10;
constexpr int kTwistDb = 2;
constexpr int kMaxFrameSamples = 8 * kRate;

struct TxDeleter {
    void operator()(dtmf_tx_state_t* state) const { dtmf_tx_free(state); }
};
struct RxDeleter {
    void operator()(dtmf_rx_state_t* state) const { dtmf_rx_free(state); }
};

void IgnoreDigits(void*, const char*, int) {}

} // namespace

struct KZDTMFState {
    std::unique_ptr<dtmf_tx_state_t, TxDeleter> tx;
    std::unique_ptr<dtmf_rx_state_t, RxDeleter> rx;
    std::vector<int16_t> tone;
    int64_t clock = 0; // samples fed since the last reset
    int block_fill = 0;
    char digit = 0; // the digit the receiver holds, 0 for none
    int64_t digit_since = 0;
    bool digit_reported = false; // the held digit was returned at the end of a feed
    int ended_digit = -1;        // a digit that counted and ended during the current feed
    int64_t ended_age = 0;       // how long that digit was held
    int64_t returned_age = 0;    // samples the digit last returned had been held, 0 for none

    bool StartReceiver() {
        if (rx == nullptr) {
            rx.reset(dtmf_rx_init(nullptr, IgnoreDigits, nullptr));
        } else {
            dtmf_rx_init(rx.get(), IgnoreDigits, nullptr);
        }
        if (rx == nullptr) return false;
        dtmf_rx_set_realtime_callback(rx.get(), &KZDTMFState::OnDigitChange, this);
        clock = 0;
        block_fill = 0;
        digit = 0;
        digit_reported = false;
        ended_digit = -1;
        returned_age = 0;
        return true;
    }

    bool DigitCounts() const { return digit != 0 && clock - digit_since >= kMinDigitSamples; }

    // The receiver's confirmed digit changed (0: none) at the end of the block just fed.
    static void OnDigitChange(void* user_data, int code, int, int) {
        auto* self = static_cast<KZDTMFState*>(user_data);
        if (self->DigitCounts() && !self->digit_reported) {
            self->ended_digit = KZ_DTMF_CodeOfChar(self->digit);
            self->ended_age = self->clock - self->digit_since;
        }
        self->digit = static_cast<char>(code);
        self->digit_since = self->clock;
        self->digit_reported = false;
    }

    // Generates one digit and its gap, exactly `samples` long.
    void GenerateDigit(char character, int duration_ms, int gap_ms, int16_t* out, int samples) {
        dtmf_tx_init(tx.get());
        dtmf_tx_set_level(tx.get(), kLowToneDbm0, kTwistDb);
        dtmf_tx_set_timing(tx.get(), duration_ms, gap_ms);
        dtmf_tx_put(tx.get(), &character, 1);
        int done = 0;
        while (done < samples) {
            const int made = dtmf_tx(tx.get(), out + done, samples - done);
            if (made <= 0) break;
            done += made;
        }
        std::fill(out + done, out + samples, int16_t{0});
    }
};

KZ_DTMF_HANDLE KZ_DTMF_Create(int rate, int bits, int frame_samples) {
    if (rate != kRate || bits != 16 || frame_samples <= 0 || frame_samples > kMaxFrameSamples) return nullptr;
    auto state = std::make_unique<KZDTMFState>();
    state->tx.reset(dtmf_tx_init(nullptr));
    if (state->tx == nullptr || !state->StartReceiver()) return nullptr;
    return state.release();
}

void KZ_DTMF_Destroy(KZ_DTMF_HANDLE handle) {
    std::unique_ptr<KZDTMFState> owned(handle);
}

int KZ_DTMF_Gen_String_Tone(KZ_DTMF_HANDLE handle, uint8_t* buffer, int buffer_bytes, const char* digits,
                            int duration_ms, int gap_ms) {
    if (handle == nullptr || buffer == nullptr || digits == nullptr || duration_ms <= 0 || gap_ms < 0)
        return 0;
    const size_t count = std::strlen(digits);
    for (size_t i = 0; i < count; ++i) {
        const int code = KZ_DTMF_CodeOfChar(digits[i]);
        if (code < 0 || code == kFlashCode) return 0;
    }
    const int64_t per_digit = (static_cast<int64_t>(duration_ms) + gap_ms) * kRate / 1000;
    const int64_t total_bytes = per_digit * 2 * static_cast<int64_t>(count);
    if (per_digit > kMaxFrameSamples * 16 || total_bytes > buffer_bytes) return 0;
    handle->tone.resize(static_cast<size_t>(per_digit));
    for (size_t i = 0; i < count; ++i) {
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i])));
        handle->GenerateDigit(upper, duration_ms, gap_ms, handle->tone.data(), static_cast<int>(per_digit));
        std::memcpy(buffer + static_cast<int64_t>(i) * per_digit * 2, handle->tone.data(),
                    static_cast<size_t>(per_digit) * 2);
    }
    return static_cast<int>(total_bytes);
}

int KZ_DTMF_Detect_Single_N_1(KZ_DTMF_HANDLE handle, const int16_t* samples, int count) {
    if (handle == nullptr || samples == nullptr || count <= 0) return -1;
    handle->ended_digit = -1;
    // Fed block by block, so that a change the receiver reports is dated to the sample.
    int done = 0;
    while (done < count) {
        const int piece = std::min(count - done, kReceiverBlock - handle->block_fill);
        handle->clock += piece;
        dtmf_rx(handle->rx.get(), samples + done, piece);
        handle->block_fill = (handle->block_fill + piece) % kReceiverBlock;
        done += piece;
    }
    if (handle->DigitCounts()) {
        handle->digit_reported = true;
        handle->returned_age = handle->clock - handle->digit_since;
        return KZ_DTMF_CodeOfChar(handle->digit);
    }
    // A digit that counted but ended within these samples, unseen so far, is reported once.
    handle->returned_age = handle->ended_digit >= 0 ? handle->ended_age : 0;
    return handle->ended_digit;
}

int KZ_DTMF_Digit_Age_Ms(KZ_DTMF_HANDLE handle) {
    return handle != nullptr ? static_cast<int>(handle->returned_age * 1000 / kRate) : 0;
}

void KZ_DTMF_Reset(KZ_DTMF_HANDLE handle) {
    if (handle != nullptr) handle->StartReceiver();
}

int KZ_DTMF_CodeOfChar(char digit) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(digit)));
    if (upper == 0) return -1;
    const char* found = std::strchr(kCodeChars, upper);
    return found != nullptr ? static_cast<int>(found - kCodeChars) : -1;
}

char KZ_DTMF_CharOfCode(int code) {
    if (code < 0 || code > kFlashCode) return 0;
    return kCodeChars[code];
}

} // namespace KZAPI
