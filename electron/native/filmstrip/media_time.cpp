#include "media_time.h"

#include <limits>
#include <numeric>

namespace filmstrip {
namespace {

__extension__ typedef __int128 Wide;

// Rank of the non-numeric kinds for ordering and for the results of arithmetic.
enum class Kind { NegativeInfinity, Numeric, PositiveInfinity, Indefinite, Invalid };

Kind kindOf(const MediaTime& t) {
    if (!t.isValid()) {
        return Kind::Invalid;
    }
    if (t.isIndefinite()) {
        return Kind::Indefinite;
    }
    if (t.isPositiveInfinity()) {
        return Kind::PositiveInfinity;
    }
    if (t.isNegativeInfinity()) {
        return Kind::NegativeInfinity;
    }
    return Kind::Numeric;
}

// numerator / denominator rounded half away from zero; denominator > 0.
Wide divideRounded(Wide numerator, Wide denominator) {
    Wide quotient = numerator / denominator;
    Wide remainder = numerator % denominator;
    if (remainder != 0 && 2 * (remainder < 0 ? -remainder : remainder) >= denominator) {
        quotient += numerator < 0 ? -1 : 1;
    }
    return quotient;
}

MediaTime fromWide(Wide value, int32_t timescale, uint32_t extraFlags) {
    if (value > std::numeric_limits<int64_t>::max()) {
        return MediaTime::plusInfinity();
    }
    if (value < std::numeric_limits<int64_t>::min()) {
        return MediaTime::minusInfinity();
    }
    return {static_cast<int64_t>(value), timescale, MediaTime::Valid | extraFlags};
}

// Sum of a and sign*b for two numeric times, in the least common multiple of the two
// timescales, or in the largest timescale (rounded) when that multiple does not fit.
MediaTime addNumeric(const MediaTime& a, const MediaTime& b, int sign) {
    const int64_t common = std::lcm(static_cast<int64_t>(a.timescale), b.timescale);
    const uint32_t carried = (a.flags | b.flags) & MediaTime::HasBeenRounded;
    if (common <= MediaTime::kMaxTimescale) {
        Wide sum =
            Wide(a.value) * (common / a.timescale) + sign * Wide(b.value) * (common / b.timescale);
        return fromWide(sum, static_cast<int32_t>(common), carried);
    }
    // Exact sum over a.timescale * b.timescale, then rounded into the largest timescale.
    const Wide denominator = Wide(a.timescale) * b.timescale;
    const Wide numerator = Wide(a.value) * b.timescale + sign * Wide(b.value) * a.timescale;
    const Wide scaled = numerator * MediaTime::kMaxTimescale;
    const Wide rounded = divideRounded(scaled, denominator);
    const bool exact = rounded * denominator == scaled;
    return fromWide(rounded, MediaTime::kMaxTimescale,
                    carried | (exact ? 0u : uint32_t{MediaTime::HasBeenRounded}));
}

MediaTime combine(const MediaTime& a, const MediaTime& b, int sign) {
    const Kind ka = kindOf(a);
    // The sign of b's infinity as seen in the result.
    Kind kb = kindOf(b);
    if (sign < 0 && kb == Kind::PositiveInfinity) {
        kb = Kind::NegativeInfinity;
    } else if (sign < 0 && kb == Kind::NegativeInfinity) {
        kb = Kind::PositiveInfinity;
    }
    if (ka == Kind::Invalid || kb == Kind::Invalid) {
        return MediaTime::invalid();
    }
    if (ka == Kind::Indefinite || kb == Kind::Indefinite) {
        return MediaTime::indefinite();
    }
    const bool infiniteA = ka != Kind::Numeric;
    const bool infiniteB = kb != Kind::Numeric;
    if (infiniteA && infiniteB) {
        return ka == kb
                   ? a.isPositiveInfinity() ? MediaTime::plusInfinity() : MediaTime::minusInfinity()
                   : MediaTime::invalid();
    }
    if (infiniteA || infiniteB) {
        const Kind k = infiniteA ? ka : kb;
        return k == Kind::PositiveInfinity ? MediaTime::plusInfinity() : MediaTime::minusInfinity();
    }
    return addNumeric(a, b, sign);
}

}  // namespace

double MediaTime::seconds() const {
    if (!isNumeric()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return static_cast<double>(value) / timescale;
}

MediaTime operator+(MediaTime a, MediaTime b) {
    return combine(a, b, 1);
}
MediaTime operator-(MediaTime a, MediaTime b) {
    return combine(a, b, -1);
}
MediaTime operator-(MediaTime a) {
    return MediaTime::zero() - a;
}

std::strong_ordering compare(const MediaTime& a, const MediaTime& b) {
    const Kind ka = kindOf(a);
    const Kind kb = kindOf(b);
    if (ka != kb || ka != Kind::Numeric) {
        return ka <=> kb;
    }
    return Wide(a.value) * b.timescale <=> Wide(b.value) * a.timescale;
}

}  // namespace filmstrip
