// Exact rational media time: a 64-bit value over a 32-bit timescale, with flags for the
// invalid, infinite and indefinite times. Addition, subtraction and comparison are exact
// (no floating point); a result whose common timescale does not fit is rounded half away
// from zero to the largest timescale and marked as rounded.
#pragma once

#include <compare>
#include <cstdint>

namespace filmstrip {

struct MediaTime {
    enum Flags : uint32_t {
        Valid = 1u << 0,
        HasBeenRounded = 1u << 1,
        PositiveInfinity = 1u << 2,
        NegativeInfinity = 1u << 3,
        Indefinite = 1u << 4,
    };
    static constexpr int32_t kMaxTimescale = 0x7fffffff;

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;

    static constexpr MediaTime invalid() { return {}; }
    static constexpr MediaTime zero() { return {0, 1, Valid}; }
    static constexpr MediaTime make(int64_t value, int32_t timescale) {
        return timescale > 0 ? MediaTime{value, timescale, Valid} : MediaTime{};
    }
    static constexpr MediaTime plusInfinity() { return {0, 0, Valid | PositiveInfinity}; }
    static constexpr MediaTime minusInfinity() { return {0, 0, Valid | NegativeInfinity}; }
    static constexpr MediaTime indefinite() { return {0, 0, Valid | Indefinite}; }

    bool isValid() const { return (flags & Valid) != 0; }
    bool isPositiveInfinity() const { return isValid() && (flags & PositiveInfinity) != 0; }
    bool isNegativeInfinity() const { return isValid() && (flags & NegativeInfinity) != 0; }
    bool isIndefinite() const { return isValid() && (flags & Indefinite) != 0; }
    // Valid and neither infinite nor indefinite.
    bool isNumeric() const {
        return isValid() && (flags & (PositiveInfinity | NegativeInfinity | Indefinite)) == 0;
    }
    // Seconds as a double, for logs and for encoders only; NaN when not numeric.
    double seconds() const;
};

MediaTime operator+(MediaTime a, MediaTime b);
MediaTime operator-(MediaTime a, MediaTime b);
MediaTime operator-(MediaTime a);

// Total order: negative infinity < numeric times < positive infinity < indefinite < invalid.
// Numeric times compare by exact value, whatever their timescales.
std::strong_ordering compare(const MediaTime& a, const MediaTime& b);
inline std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    return compare(a, b);
}
inline bool operator==(const MediaTime& a, const MediaTime& b) {
    return compare(a, b) == 0;
}

}  // namespace filmstrip
