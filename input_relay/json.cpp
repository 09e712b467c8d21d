#include "json.h"

#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>  // newlocale and uselocale
#endif

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "grapheme.h"

namespace input_relay {
namespace {

bool writeString(const std::string& text, std::string& out) {
    if (!decodeUtf8(text)) {
        return false;
    }
    out.push_back('"');
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(c);
        } else if (byte < 0x20) {
            static constexpr char HEX[] = "0123456789abcdef";
            switch (c) {
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    out += "\\u00";
                    out.push_back(HEX[byte >> 4]);
                    out.push_back(HEX[byte & 0xF]);
            }
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
    return true;
}

void writeInteger(std::int64_t number, std::string& out) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
}

constexpr int MAX_SIGNIFICANT_DIGITS = 17;
constexpr std::size_t NUMBER_CAPACITY = 400;  // the widest "%.0f" of a double, with room to spare

// Runs `convert` with this thread in the C locale, whatever locale the process runs in.
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
        char text[NUMBER_CAPACITY];
        const int length = std::snprintf(text, sizeof text, pattern, precision, value);
        return std::string(text, static_cast<std::size_t>(std::max(length, 0)));
    });
}

// A finite number as its shortest text that reads back exactly: fixed or exponent form,
// whichever is shorter, fixed on a tie. The C library's conversions give it on every supported
// system, where the C++ library's shortest conversion is not always there.
void writeReal(double value, std::string& out) {
    int digits = 1;
    std::string exponentForm = printed("%.*e", 0, value);
    while (digits < MAX_SIGNIFICANT_DIGITS &&
           inCLocale([&] { return std::strtod(exponentForm.c_str(), nullptr); }) != value) {
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
    out += fixedLength > exponentFormLength
               ? exponentForm
               : printed("%.*f", whole ? 0 : digits - 1 - exponent, value);
}

bool write(const Json& json, std::string& out);

bool writeArray(const JsonArray& array, std::string& out) {
    out.push_back('[');
    for (std::size_t i = 0; i < array.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        if (!write(array[i], out)) {
            return false;
        }
    }
    out.push_back(']');
    return true;
}

bool writeObject(const JsonObject& object, std::string& out) {
    out.push_back('{');
    for (std::size_t i = 0; i < object.size(); ++i) {
        if (i > 0) {
            out.push_back(',');
        }
        if (!writeString(object[i].first, out)) {
            return false;
        }
        out.push_back(':');
        if (!write(object[i].second, out)) {
            return false;
        }
    }
    out.push_back('}');
    return true;
}

bool write(const Json& json, std::string& out) {
    if (const auto* flag = std::get_if<bool>(&json.value)) {
        out += *flag ? "true" : "false";
    } else if (const auto* integer = std::get_if<std::int64_t>(&json.value)) {
        writeInteger(*integer, out);
    } else if (const auto* real = std::get_if<double>(&json.value)) {
        if (!std::isfinite(*real)) {
            return false;
        }
        writeReal(*real, out);
    } else if (const auto* text = std::get_if<std::string>(&json.value)) {
        return writeString(*text, out);
    } else if (const auto* array = std::get_if<JsonArray>(&json.value)) {
        return writeArray(*array, out);
    } else {
        return writeObject(std::get<JsonObject>(json.value), out);
    }
    return true;
}

}  // namespace

std::optional<std::string> serialize(const Json& json) {
    std::string out;
    if (!write(json, out)) {
        return std::nullopt;
    }
    return out;
}

}  // namespace input_relay
