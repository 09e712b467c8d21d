#include "number_text.h"

#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>  // newlocale and uselocale
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace probes {
namespace {

constexpr int MAX_SIGNIFICANT_DIGITS = 17;
constexpr std::size_t TEXT_CAPACITY = 400;  // the widest "%.0f" of a double, with room to spare

// Runs `convert` with this thread in the C locale and restores the thread's locale after it.
template <typename Convert>
auto inCLocale(Convert convert) {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const locale_t previous = uselocale(cLocale);
    auto result = convert();
    uselocale(previous);
    return result;
}

std::string printed(const char* pattern, int precision, double value) {
    return inCLocale([&] {
        char text[TEXT_CAPACITY];
        const int length = std::snprintf(text, sizeof text, pattern, precision, value);
        return std::string(text, static_cast<std::size_t>(std::max(length, 0)));
    });
}

double readBack(const std::string& text) {
    return inCLocale([&] { return std::strtod(text.c_str(), nullptr); });
}

}  // namespace

std::string shortestNumberText(double value) {
    if (std::isnan(value)) {
        return std::signbit(value) ? "-nan" : "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // The fewest significant digits that read back exactly, in exponent form.
    int digits = 1;
    std::string exponentForm = printed("%.*e", 0, value);
    while (digits < MAX_SIGNIFICANT_DIGITS && readBack(exponentForm) != value) {
        ++digits;
        exponentForm = printed("%.*e", digits - 1, value);
    }
    const std::size_t e = exponentForm.find('e');
    const int exponent = std::atoi(exponentForm.c_str() + e + 1);
    const int exponentFormLength = static_cast<int>(exponentForm.size());
    const bool whole = exponent >= digits - 1;
    const int sign = std::signbit(value) ? 1 : 0;
    const int fixedLength = sign + (exponent < 0 ? digits + 1 - exponent
                                    : whole      ? exponent + 1
                                                 : digits + 1);
    // The fixed form has as many decimals as the significant digits need, and a whole number
    // every integer digit exactly, as "%f" gives them.
    return fixedLength > exponentFormLength
               ? exponentForm
               : printed("%.*f", whole ? 0 : digits - 1 - exponent, value);
}

std::string significantNumberText(double value, int digits) {
    return printed("%.*g", digits, value);
}

std::optional<double> parseNumberText(std::string_view text) {
    // strtod also skips leading spaces and reads hexadecimal; neither is a number here.
    if (text.empty() || text.find_first_of(" \t\n\v\f\rxX") != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string copy(text);
    return inCLocale([&]() -> std::optional<double> {
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(copy.c_str(), &end);
        if (end != copy.c_str() + copy.size() || errno == ERANGE || std::isnan(value)) {
            return std::nullopt;
        }
        return value;
    });
}

}  // namespace probes
