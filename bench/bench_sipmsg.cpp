// Parse and compose throughput of the message layer over the realistic message files in
// tests/data/messages, with the heap traffic of each operation.
//
// For every file:
//   parse_reused/<file>   parse into one sip_msg kept across messages, as the receive loop does
//   parse_fresh/<file>    parse into a new sip_msg each time
//   compose_reused/<file> compose into one output string kept across messages
//   compose_fresh/<file>  compose into a new output string each time
// items/s counts messages, bytes/s the wire size of the file. The counters allocs/msg and
// alloc_bytes/msg are the calls to operator new and the bytes they asked for, per message; this
// binary replaces the global allocation functions to count them. Parsing includes copying the
// wire text into the receive buffer, since the parser writes into the text it is given.
//
// Target: the ~1 KB INVITE with SDP parses in under 2 us and composes in under 2 us on one core.
#include "host/CKZLogInterface.h"
#include "sipmsg/sip_msg.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

// ---- allocation counting ----

// GCC pairs the inlined free() below with the new-expressions of this file and warns; the pairing
// is right, both sides are the replacements defined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// Per thread, so the counting adds no synchronisation to the code under measurement.
thread_local uint64_t t_alloc_calls = 0;
thread_local uint64_t t_alloc_bytes = 0;

void* counted_alloc(std::size_t size) {
    ++t_alloc_calls;
    t_alloc_bytes += size;
    return std::malloc(size == 0 ? 1 : size);
}

void* counted_aligned_alloc(std::size_t size, std::align_val_t align) {
    ++t_alloc_calls;
    t_alloc_bytes += size;
    const std::size_t a = std::max(static_cast<std::size_t>(align), sizeof(void*));
    const std::size_t rounded = (size + a - 1) / a * a;
    return std::aligned_alloc(a, rounded == 0 ? a : rounded);
}

} // namespace

void* operator new(std::size_t size) {
    if (void* p = counted_alloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = counted_alloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return counted_alloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return counted_alloc(size);
}
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = counted_aligned_alloc(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = counted_aligned_alloc(size, align)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return counted_aligned_alloc(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return counted_aligned_alloc(size, align);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace {

namespace fs = std::filesystem;

struct AllocWindow {
    uint64_t calls = t_alloc_calls;
    uint64_t bytes = t_alloc_bytes;
};

void report(benchmark::State& state, const AllocWindow& start, size_t wire_size) {
    const auto n = static_cast<int64_t>(state.iterations());
    state.SetItemsProcessed(n);
    state.SetBytesProcessed(n * static_cast<int64_t>(wire_size));
    state.counters["allocs/msg"] = benchmark::Counter(static_cast<double>(t_alloc_calls - start.calls),
                                                      benchmark::Counter::kAvgIterations);
    state.counters["alloc_bytes/msg"] = benchmark::Counter(static_cast<double>(t_alloc_bytes - start.bytes),
                                                           benchmark::Counter::kAvgIterations);
}

struct MessageFile {
    std::string name;
    std::string wire;
};

std::vector<MessageFile> load_messages() {
    std::vector<MessageFile> files;
    const fs::path dir = fs::path(KZ_TEST_DATA_DIR) / "messages";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".sip") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        files.push_back({entry.path().stem().string(), s.str()});
    }
    std::sort(files.begin(), files.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return files;
}

// The receive buffer: the wire text followed by its NUL, refilled before every parse.
class ReceiveBuffer {
public:
    explicit ReceiveBuffer(const std::string& wire) : m_wire(wire), m_buf(wire.size() + 1) {}
    char* refill() {
        std::memcpy(m_buf.data(), m_wire.data(), m_wire.size());
        m_buf[m_wire.size()] = '\0';
        return m_buf.data();
    }

private:
    const std::string& m_wire;
    std::vector<char> m_buf;
};

bool parsed_ok(const KZSIPEvent& event) {
    return event.event_type == KZ_EVENT_SIP_MESSAGE_REQUEST ||
           event.event_type == KZ_EVENT_SIP_MESSAGE_RESPONSE;
}

void BM_ParseReused(benchmark::State& state, const MessageFile* file) {
    ReceiveBuffer buf(file->wire);
    sip_msg msg;
    KZSIPEvent event{};
    msg.init_from_buf(buf.refill(), &event); // first use sizes the message's storage
    if (!parsed_ok(event)) state.SkipWithError("file does not parse as a SIP message");
    const AllocWindow start;
    for (auto _ : state) {
        char* text = buf.refill();
        event.event_type = 0;
        benchmark::DoNotOptimize(msg.init_from_buf(text, &event));
        benchmark::ClobberMemory();
    }
    report(state, start, file->wire.size());
}

void BM_ParseFresh(benchmark::State& state, const MessageFile* file) {
    ReceiveBuffer buf(file->wire);
    KZSIPEvent event{};
    const AllocWindow start;
    for (auto _ : state) {
        char* text = buf.refill();
        sip_msg msg;
        benchmark::DoNotOptimize(msg.init_from_buf(text, &event));
        benchmark::ClobberMemory();
    }
    report(state, start, file->wire.size());
}

void BM_ComposeReused(benchmark::State& state, const MessageFile* file) {
    ReceiveBuffer buf(file->wire);
    sip_msg msg;
    KZSIPEvent event{};
    msg.init_from_buf(buf.refill(), &event);
    KZAPI::CString out;
    if (msg.write_into_buf(&out) != 0) state.SkipWithError("composition failed");
    const AllocWindow start;
    for (auto _ : state) {
        benchmark::DoNotOptimize(msg.write_into_buf(&out));
        benchmark::ClobberMemory();
    }
    report(state, start, out.GetLength());
}

void BM_ComposeFresh(benchmark::State& state, const MessageFile* file) {
    ReceiveBuffer buf(file->wire);
    sip_msg msg;
    KZSIPEvent event{};
    msg.init_from_buf(buf.refill(), &event);
    size_t size = 0;
    {
        KZAPI::CString out;
        if (msg.write_into_buf(&out) != 0) state.SkipWithError("composition failed");
        size = out.GetLength();
    }
    const AllocWindow start;
    for (auto _ : state) {
        KZAPI::CString out;
        benchmark::DoNotOptimize(msg.write_into_buf(&out));
        benchmark::ClobberMemory();
    }
    report(state, start, size);
}

} // namespace

int main(int argc, char** argv) {
    // Trace logging would dominate the figures; the default level keeps it off, make sure.
    KZAPI::CKZLogInterface::SetMaxLevel(KZAPI::CKZLogInterface::LOG_WARNING);

    static const std::vector<MessageFile> files = load_messages();
    if (files.empty()) {
        std::fprintf(stderr, "no message files in %s/messages\n", KZ_TEST_DATA_DIR);
        return 1;
    }
    for (const MessageFile& f : files) {
        benchmark::RegisterBenchmark(("parse_reused/" + f.name).c_str(), BM_ParseReused, &f);
        benchmark::RegisterBenchmark(("parse_fresh/" + f.name).c_str(), BM_ParseFresh, &f);
        benchmark::RegisterBenchmark(("compose_reused/" + f.name).c_str(), BM_ComposeReused, &f);
        benchmark::RegisterBenchmark(("compose_fresh/" + f.name).c_str(), BM_ComposeFresh, &f);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
