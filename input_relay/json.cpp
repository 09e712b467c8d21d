#include "json.h"

#include <charconv>
#include <cmath>

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

template <typename Number>
void writeNumber(Number number, std::string& out) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
    out.append(buffer, result.ptr);
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
        writeNumber(*integer, out);
    } else if (const auto* real = std::get_if<double>(&json.value)) {
        if (!std::isfinite(*real)) {
            return false;
        }
        writeNumber(*real, out);
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
