#include "keys.h"

#include <algorithm>

#include "failure.h"
#include "grapheme.h"
#include "parse.h"

namespace input_relay {

const std::array<std::pair<char32_t, Key>, 50> BASE = {{
    {U'a', {0, "KeyA"}},    {U's', {1, "KeyS"}},       {U'd', {2, "KeyD"}},
    {U'f', {3, "KeyF"}},    {U'h', {4, "KeyH"}},       {U'g', {5, "KeyG"}},
    {U'z', {6, "KeyZ"}},    {U'x', {7, "KeyX"}},       {U'c', {8, "KeyC"}},
    {U'v', {9, "KeyV"}},    {U'b', {11, "KeyB"}},      {U'q', {12, "KeyQ"}},
    {U'w', {13, "KeyW"}},   {U'e', {14, "KeyE"}},      {U'r', {15, "KeyR"}},
    {U'y', {16, "KeyY"}},   {U't', {17, "KeyT"}},      {U'1', {18, "Digit1"}},
    {U'2', {19, "Digit2"}}, {U'3', {20, "Digit3"}},    {U'4', {21, "Digit4"}},
    {U'6', {22, "Digit6"}}, {U'5', {23, "Digit5"}},    {U'=', {24, "Equal"}},
    {U'9', {25, "Digit9"}}, {U'7', {26, "Digit7"}},    {U'-', {27, "Minus"}},
    {U'8', {28, "Digit8"}}, {U'0', {29, "Digit0"}},    {U']', {30, "BracketRight"}},
    {U'o', {31, "KeyO"}},   {U'u', {32, "KeyU"}},      {U'[', {33, "BracketLeft"}},
    {U'i', {34, "KeyI"}},   {U'p', {35, "KeyP"}},      {U'\n', {36, "Enter"}},
    {U'l', {37, "KeyL"}},   {U'j', {38, "KeyJ"}},      {U'\'', {39, "Quote"}},
    {U'k', {40, "KeyK"}},   {U';', {41, "Semicolon"}}, {U'\\', {42, "Backslash"}},
    {U',', {43, "Comma"}},  {U'/', {44, "Slash"}},     {U'n', {45, "KeyN"}},
    {U'm', {46, "KeyM"}},   {U'.', {47, "Period"}},    {U'\t', {48, "Tab"}},
    {U' ', {49, "Space"}},  {U'`', {50, "Backquote"}},
}};

const std::array<std::pair<char32_t, char32_t>, 21> SHIFTED = {{
    {U'!', U'1'}, {U'@', U'2'}, {U'#', U'3'},  {U'$', U'4'}, {U'%', U'5'},  {U'^', U'6'},
    {U'&', U'7'}, {U'*', U'8'}, {U'(', U'9'},  {U')', U'0'}, {U'_', U'-'},  {U'+', U'='},
    {U'{', U'['}, {U'}', U']'}, {U'|', U'\\'}, {U':', U';'}, {U'"', U'\''}, {U'<', U','},
    {U'>', U'.'}, {U'?', U'/'}, {U'~', U'`'},
}};

const std::array<std::pair<std::string_view, Key>, 21> NAMED = {{
    {"return", {36, "Enter"}},
    {"enter", {36, "Enter"}},
    {"tab", {48, "Tab"}},
    {"space", {49, "Space"}},
    {"delete", {51, "Backspace"}},
    {"backspace", {51, "Backspace"}},
    {"escape", {53, "Escape"}},
    {"esc", {53, "Escape"}},
    {"left", {123, "ArrowLeft"}},
    {"right", {124, "ArrowRight"}},
    {"down", {125, "ArrowDown"}},
    {"up", {126, "ArrowUp"}},
    {"arrowleft", {123, "ArrowLeft"}},
    {"arrowright", {124, "ArrowRight"}},
    {"arrowdown", {125, "ArrowDown"}},
    {"arrowup", {126, "ArrowUp"}},
    {"home", {115, "Home"}},
    {"end", {119, "End"}},
    {"pageup", {116, "PageUp"}},
    {"pagedown", {121, "PageDown"}},
    {"forwarddelete", {117, "Delete"}},
}};

const std::array<std::pair<std::string_view, Flags>, 8> MODS = {{
    {"cmd", FLAG_COMMAND},
    {"command", FLAG_COMMAND},
    {"meta", FLAG_COMMAND},
    {"shift", FLAG_SHIFT},
    {"alt", FLAG_OPTION},
    {"option", FLAG_OPTION},
    {"ctrl", FLAG_CONTROL},
    {"control", FLAG_CONTROL},
}};

const std::array<std::string_view, 4> REPORTED_MODS = {"cmd", "ctrl", "alt", "shift"};

const std::array<std::pair<Flags, Key>, 4> MOD_KEYS = {{
    {FLAG_COMMAND, {55, "MetaLeft"}},
    {FLAG_SHIFT, {56, "ShiftLeft"}},
    {FLAG_OPTION, {58, "AltLeft"}},
    {FLAG_CONTROL, {59, "ControlLeft"}},
}};

const std::array<std::string_view, 19> SWITCHING = {
    "tab",  "`",         "space",      "q",       "h",         "m",     "w",
    "n",    "t",         "escape",     "esc",     "left",      "right", "up",
    "down", "arrowleft", "arrowright", "arrowup", "arrowdown",
};

namespace {

constexpr std::array<ShortcutRule, 1> MACOS_REFUSED = {{
    {FLAG_COMMAND | FLAG_OPTION | FLAG_CONTROL, 0, SWITCHING},
}};

// On Linux Command stands for Control. Alt switches windows and opens the window menu;
// Control with Alt switches workspaces and reaches the session (log out, restart the server,
// lock, terminal, show the desktop); Control with Escape opens the session's menu or monitor.
constexpr std::string_view LINUX_ALT_KEYS[] = {"tab", "`", "escape", "esc", "space"};
constexpr std::string_view LINUX_CONTROL_ALT_KEYS[] = {
    "tab",       "left",          "right",   "up",        "down",
    "arrowleft", "arrowright",    "arrowup", "arrowdown", "delete",
    "backspace", "forwarddelete", "l",       "t",         "d",
};
constexpr std::string_view LINUX_CONTROL_KEYS[] = {"escape", "esc"};
constexpr std::array<ShortcutRule, 3> LINUX_REFUSED = {{
    {FLAG_OPTION, 0, LINUX_ALT_KEYS},
    {FLAG_CONTROL | FLAG_COMMAND, FLAG_OPTION, LINUX_CONTROL_ALT_KEYS},
    {FLAG_CONTROL | FLAG_COMMAND, 0, LINUX_CONTROL_KEYS},
}};

constexpr Conventions MACOS_CONVENTIONS = {MACOS_REFUSED, &messages::refusedShortcut,
                                           messages::NO_PERMISSION, messages::WINDOW_UNAVAILABLE};
constexpr Conventions LINUX_CONVENTIONS = {LINUX_REFUSED, &messages::refusedDesktopShortcut,
                                           messages::NO_ACCESSIBILITY_BUS,
                                           messages::WINDOW_UNAVAILABLE};
constexpr Conventions WAYLAND_CONVENTIONS = {LINUX_REFUSED, &messages::refusedDesktopShortcut,
                                             messages::NO_ACCESSIBILITY_BUS,
                                             messages::NOT_XWAYLAND_WINDOW};

bool refused(const ShortcutRule& rule, Flags flags, std::string_view name) {
    return (flags & rule.anyOf) != 0 && (rule.andAnyOf == 0 || (flags & rule.andAnyOf) != 0) &&
           std::find(rule.keys.begin(), rule.keys.end(), name) != rule.keys.end();
}

constexpr char32_t KELVIN_SIGN = 0x212A;

template <typename Table, typename Name>
auto lookup(const Table& table, const Name& name) -> const
    typename Table::value_type::second_type* {
    auto it = std::find_if(table.begin(), table.end(),
                           [&](const auto& row) { return row.first == name; });
    return it == table.end() ? nullptr : &it->second;
}

// The single character a one-code-point cluster is canonically equivalent to; the characters
// whose canonical form is a lone ASCII character are the three singletons below.
std::optional<char32_t> singleCharacter(std::u32string_view cluster) {
    if (cluster.size() != 1) {
        return std::nullopt;
    }
    switch (cluster[0]) {
        case 0x037E:
            return U';';  // GREEK QUESTION MARK
        case 0x1FEF:
            return U'`';  // GREEK VARIA
        case KELVIN_SIGN:
            return U'K';
        default:
            return cluster[0];
    }
}

const Key* baseKey(std::u32string_view cluster) {
    auto c = singleCharacter(cluster);
    return c ? lookup(BASE, *c) : nullptr;
}

// Lower-cases ASCII letters and the Kelvin sign, the only characters whose lower-case form can
// name a key.
std::string lowerCased(std::string_view text) {
    static const std::string kelvin = encodeUtf8(std::u32string(1, KELVIN_SIGN));
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, kelvin.size()) == kelvin) {
            out.push_back('k');
            i += kelvin.size() - 1;
        } else {
            const char c = text[i];
            out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
        }
    }
    return out;
}

const Key* keyNamed(const std::string& name) {
    if (const Key* named = lookup(NAMED, std::string_view(name))) {
        return named;
    }
    auto text = decodeUtf8(name);
    if (!text) {
        return nullptr;
    }
    auto clusters = graphemeClusters(*text);
    return clusters.size() == 1 ? baseKey(clusters[0]) : nullptr;
}

std::optional<std::string> decodeBase64(std::string_view payload) {
    static constexpr std::string_view ALPHABET =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (payload.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    while (padding < 2 && payload.size() > padding &&
           payload[payload.size() - 1 - padding] == '=') {
        ++padding;
    }
    std::string out;
    std::uint32_t bits = 0;
    int bitCount = 0;
    for (std::size_t i = 0; i < payload.size() - padding; ++i) {
        const auto value = ALPHABET.find(payload[i]);
        if (value == std::string_view::npos) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<std::uint32_t>(value);
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            out.push_back(static_cast<char>((bits >> bitCount) & 0xFF));
        }
    }
    return out;
}

}  // namespace

const Conventions& conventionsOf(Desktop desktop) {
    switch (desktop) {
        case Desktop::freedesktop:
            return LINUX_CONVENTIONS;
        case Desktop::freedesktopWayland:
            return WAYLAND_CONVENTIONS;
        case Desktop::macos:
            break;
    }
    return MACOS_CONVENTIONS;
}

KeyChord resolveSpec(std::string_view specification, const Conventions& conventions) {
    Flags flags = 0;
    std::string name;
    for (const std::string& piece : splitDroppingEmpty(lowerCased(specification), '+')) {
        if (const Flags* flag = lookup(MODS, std::string_view(piece))) {
            flags |= *flag;
        } else {
            name = piece;
        }
    }
    if (std::any_of(conventions.refusedShortcuts.begin(), conventions.refusedShortcuts.end(),
                    [&](const ShortcutRule& rule) { return refused(rule, flags, name); })) {
        fail(conventions.refusedShortcut(specification));
    }
    if (const Key* key = keyNamed(name)) {
        return {*key, flags};
    }
    fail(messages::unknownKey(specification));
}

std::u32string decodeType(std::string_view payload) {
    auto bytes = decodeBase64(payload);
    auto text = bytes ? decodeUtf8(*bytes) : std::nullopt;
    if (!text) {
        fail(std::string(messages::INVALID_PAYLOAD));
    }
    return *text;
}

std::optional<KeyChord> resolveCharacter(std::u32string_view character) {
    if (const Key* key = baseKey(character)) {
        return KeyChord{*key, 0};
    }
    if (auto c = singleCharacter(character)) {
        if (const char32_t* base = lookup(SHIFTED, *c)) {
            const Key* key = lookup(BASE, *base);
            return key ? std::optional(KeyChord{*key, FLAG_SHIFT}) : std::nullopt;
        }
        if (*c >= U'A' && *c <= U'Z') {
            return KeyChord{*lookup(BASE, static_cast<char32_t>(*c - U'A' + U'a')), FLAG_SHIFT};
        }
    }
    return std::nullopt;
}

std::vector<std::string> reportedModifiers(Flags flags) {
    std::vector<std::string> names;
    for (std::string_view name : REPORTED_MODS) {
        if ((flags & *lookup(MODS, name)) != 0) {
            names.emplace_back(name);
        }
    }
    return names;
}

}  // namespace input_relay
