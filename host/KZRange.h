// KZRange: a closed range of integers [start, end], such as the server's RTP port range. It holds
// what it is given; callers that need a usable range (an even start, an end above the start) put
// those rules in before storing it.
#pragma once

namespace KZAPI {

struct KZRange {
    int start = 0;
    int end = 0;

    constexpr KZRange() = default;
    constexpr KZRange(int first, int last) : start(first), end(last) {}

    constexpr int GetStart() const { return start; }
    constexpr int GetEnd() const { return end; }
    constexpr void SetStart(int value) { start = value; }
    constexpr void SetEnd(int value) { end = value; }

    constexpr bool IsEmpty() const { return end < start; }
    // How many values the range holds (0 when it is empty).
    constexpr int Size() const { return IsEmpty() ? 0 : end - start + 1; }
    constexpr bool Contains(int value) const { return value >= start && value <= end; }

    constexpr bool operator==(const KZRange&) const = default;
};

} // namespace KZAPI
