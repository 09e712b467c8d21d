// Key tables, key specifications and the text of "type:" commands.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform.h"

namespace input_relay {

// A key: its virtual key code and its web key code.
struct Key {
    std::uint16_t code;
    std::string_view web;
    bool operator==(const Key&) const = default;
};

using Flags = std::uint64_t;
inline constexpr Flags FLAG_COMMAND = 0x100000;
inline constexpr Flags FLAG_SHIFT = 0x20000;
inline constexpr Flags FLAG_OPTION = 0x80000;
inline constexpr Flags FLAG_CONTROL = 0x40000;

struct KeyChord {
    Key key;
    Flags flags = 0;
    bool operator==(const KeyChord&) const = default;
};

extern const std::array<std::pair<char32_t, Key>, 50> BASE;
extern const std::array<std::pair<char32_t, char32_t>, 21> SHIFTED;
extern const std::array<std::pair<std::string_view, Key>, 21> NAMED;
extern const std::array<std::pair<std::string_view, Flags>, 8> MODS;
extern const std::array<std::string_view, 4> REPORTED_MODS;
extern const std::array<std::pair<Flags, Key>, 4> MOD_KEYS;
extern const std::array<std::string_view, 19> SWITCHING;

// Chords a desktop keeps for itself: a modifier of `anyOf` held, and one of `andAnyOf` too
// when that is not 0, with one of the keys named.
struct ShortcutRule {
    Flags anyOf = 0;
    Flags andAnyOf = 0;
    std::span<const std::string_view> keys;
};

// The rules that differ between desktops, one table each, chosen by `conventionsOf`.
struct Conventions {
    std::span<const ShortcutRule> refusedShortcuts;
    std::string (*refusedShortcut)(std::string_view specification);
    std::string_view noPermission;
    std::string_view windowNotFound;  // a window number no visible window has
};
const Conventions& conventionsOf(Desktop desktop);

// Fails on a refused shortcut or a key no table names.
KeyChord resolveSpec(std::string_view specification, const Conventions& conventions);
// Fails when the payload is not Base64 or its bytes are not UTF-8.
std::u32string decodeType(std::string_view payload);
// The key that types one user-perceived character, with or without Shift; none when the
// character must be typed as a Unicode string.
std::optional<KeyChord> resolveCharacter(std::u32string_view character);
// The names written into "modifiers" for these flags, in report order.
std::vector<std::string> reportedModifiers(Flags flags);

}  // namespace input_relay
