#include "grapheme.h"

#include <algorithm>
#include <span>

namespace input_relay {
namespace {

const BreakRange* findRange(std::span<const BreakRange> ranges, char32_t c) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                               [](char32_t value, const BreakRange& r) { return value < r.first; });
    if (it == ranges.begin() || c > std::prev(it)->last) {
        return nullptr;
    }
    return &*std::prev(it);
}

struct CodePointClass {
    BreakClass breakClass;
    bool pictographic;
};

CodePointClass classify(char32_t c) {
    using namespace grapheme_data;
    const BreakRange* range = findRange({BREAK_RANGES, BREAK_RANGE_COUNT}, c);
    return {range ? range->breakClass : BreakClass::Other,
            findRange({PICTOGRAPHIC_RANGES, PICTOGRAPHIC_RANGE_COUNT}, c) != nullptr};
}

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

// The code point whose well-formed encoding starts at bytes[i], with its length.
std::optional<std::pair<char32_t, std::size_t>> decodeOne(std::string_view bytes, std::size_t i) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t c = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        return std::pair{static_cast<char32_t>(lead), std::size_t{1}};
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        c = lead & 0x1Fu;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        c = lead & 0x0Fu;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        c = lead & 0x07u;
        minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (bytes.size() - i < length) {
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto continuation = static_cast<unsigned char>(bytes[i + k]);
        if ((continuation & 0xC0) != 0x80) {
            return std::nullopt;
        }
        c = (c << 6) | (continuation & 0x3Fu);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return std::nullopt;
    }
    return std::pair{c, length};
}

bool isControlLike(BreakClass c) {
    return c == BreakClass::Control || c == BreakClass::CR || c == BreakClass::LF;
}

// Whether a cluster boundary falls before classes[i]; the earlier classes give the context
// the emoji and regional-indicator rules need.
bool breaksBefore(const std::vector<CodePointClass>& classes, std::size_t i) {
    const BreakClass prev = classes[i - 1].breakClass;
    const BreakClass next = classes[i].breakClass;
    using enum BreakClass;
    if (prev == CR && next == LF) {
        return false;
    }
    if (isControlLike(prev) || isControlLike(next)) {
        return true;
    }
    if (prev == L && (next == L || next == V || next == LV || next == LVT)) {
        return false;
    }
    if ((prev == LV || prev == V) && (next == V || next == T)) {
        return false;
    }
    if ((prev == LVT || prev == T) && next == T) {
        return false;
    }
    if (next == Extend || next == ZWJ || next == SpacingMark || prev == Prepend) {
        return false;
    }
    if (prev == ZWJ && classes[i].pictographic) {
        std::size_t j = i - 1;
        while (j > 0 && classes[j - 1].breakClass == Extend) {
            --j;
        }
        if (j > 0 && classes[j - 1].pictographic) {
            return false;
        }
    }
    if (prev == Regional_Indicator && next == Regional_Indicator) {
        std::size_t run = 0;
        for (std::size_t j = i; j > 0 && classes[j - 1].breakClass == Regional_Indicator; --j) {
            ++run;
        }
        return run % 2 == 0;
    }
    return true;
}

}  // namespace

std::optional<std::u32string> decodeUtf8(std::string_view bytes) {
    std::u32string text;
    for (std::size_t i = 0; i < bytes.size();) {
        auto decoded = decodeOne(bytes, i);
        if (!decoded) {
            return std::nullopt;
        }
        text.push_back(decoded->first);
        i += decoded->second;
    }
    return text;
}

std::string repairedUtf8(std::string_view bytes) {
    std::u32string text;
    for (std::size_t i = 0; i < bytes.size();) {
        auto decoded = decodeOne(bytes, i);
        text.push_back(decoded ? decoded->first : REPLACEMENT_CHARACTER);
        i += decoded ? decoded->second : 1;
    }
    return encodeUtf8(text);
}

std::string encodeUtf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::u16string encodeUtf16(std::u32string_view text) {
    std::u16string out;
    for (char32_t c : text) {
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            const char32_t offset = c - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
        }
    }
    return out;
}

std::vector<std::u32string> graphemeClusters(std::u32string_view text) {
    std::vector<CodePointClass> classes;
    classes.reserve(text.size());
    for (char32_t c : text) {
        classes.push_back(classify(c));
    }
    std::vector<std::u32string> clusters;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= text.size(); ++i) {
        if (i == text.size() || breaksBefore(classes, i)) {
            clusters.emplace_back(text.substr(start, i - start));
            start = i;
        }
    }
    return clusters;
}

}  // namespace input_relay
