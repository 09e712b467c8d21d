#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace probes {

// Numbers as the probes print and read them: always in the C locale, whatever locale the
// process runs in, with the C library's own conversions (available on every supported system).

// The shortest text that reads back as `value`: fixed or exponent form, whichever is shorter
// (fixed on a tie); "inf", "-inf", "nan" and "-nan" for the values that have no digits.
std::string shortestNumberText(double value);

// printf's "%.<digits>g".
std::string significantNumberText(double value, int digits);

// A whole decimal number with an optional sign and exponent, or "inf"/"infinity"; nullopt for
// anything else (spaces, trailing text, hexadecimal, not-a-number, out of range).
std::optional<double> parseNumberText(std::string_view text);

}  // namespace probes
