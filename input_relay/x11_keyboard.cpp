#include "x11_keyboard.h"

#include <X11/keysym.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace input_relay {
namespace {

// Virtual key codes of the keys with names, and the keysym each stands for on X. Command is
// Control here, the convention of CommandOrControl accelerators.
constexpr std::pair<std::uint16_t, xcb_keysym_t> NAMED_KEYSYMS[] = {
    {36, XK_Return},  {48, XK_Tab},    {49, XK_space},     {51, XK_BackSpace}, {53, XK_Escape},
    {123, XK_Left},   {124, XK_Right}, {125, XK_Down},     {126, XK_Up},       {115, XK_Home},
    {119, XK_End},    {116, XK_Prior}, {121, XK_Next},     {117, XK_Delete},   {55, XK_Control_L},
    {56, XK_Shift_L}, {58, XK_Alt_L},  {59, XK_Control_L},
};

}  // namespace

// Latin-1 keysyms are the characters themselves, the control characters have function
// keysyms, everything else is a Unicode keysym.
xcb_keysym_t keysymForCharacter(char32_t c) {
    switch (c) {
        case U'\b':
            return XK_BackSpace;
        case U'\t':
            return XK_Tab;
        case U'\n':
            return XK_Linefeed;
        case U'\r':
            return XK_Return;
        case U'\x1b':
            return XK_Escape;
        case U'\x7f':
            return XK_Delete;
        default:
            break;
    }
    if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) {
        return c;
    }
    return 0x01000000 + c;
}

std::optional<xcb_keysym_t> keysymForKeyCode(std::uint16_t code) {
    for (auto [named, keysym] : NAMED_KEYSYMS) {
        if (named == code) {
            return keysym;
        }
    }
    for (const auto& [character, key] : BASE) {
        if (key.code == code) {
            return keysymForCharacter(character);
        }
    }
    return std::nullopt;
}

std::uint16_t modifierMask(Flags flags) {
    std::uint16_t mask = 0;
    const std::pair<Flags, std::uint16_t> masks[] = {{FLAG_SHIFT, XCB_MOD_MASK_SHIFT},
                                                     {FLAG_CONTROL, XCB_MOD_MASK_CONTROL},
                                                     {FLAG_OPTION, XCB_MOD_MASK_1},
                                                     {FLAG_COMMAND, XCB_MOD_MASK_CONTROL}};
    for (auto [flag, bit] : masks) {
        if ((flags & flag) != 0) {
            mask |= bit;
        }
    }
    return mask;
}

std::vector<char32_t> codePoints(const std::u16string& units) {
    std::vector<char32_t> result;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xd800 && c < 0xdc00 && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
            units[i + 1] < 0xe000) {
            c = 0x10000 + ((c - 0xd800) << 10) + (units[i + 1] - 0xdc00);
            ++i;
        }
        result.push_back(c);
    }
    return result;
}

X11Keyboard::~X11Keyboard() {
    for (const auto& [keycode, keysym] : spares_) {
        bind(keycode, XCB_NO_SYMBOL);
    }
}

bool X11Keyboard::read() {
    if (xcb_connection_has_error(connection_) != 0) {
        return false;
    }
    const xcb_setup_t* setup = xcb_get_setup(connection_);
    minKeycode_ = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
        xcb_get_keyboard_mapping_reply(
            connection_, xcb_get_keyboard_mapping(connection_, minKeycode_, count), nullptr),
        &std::free);
    if (!mapping || mapping->keysyms_per_keycode == 0) {
        return false;
    }
    perKeycode_ = mapping->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    keysyms_.assign(syms, syms + xcb_get_keyboard_mapping_keysyms_length(mapping.get()));
    return true;
}

std::optional<KeyLocation> X11Keyboard::locate(xcb_keysym_t keysym,
                                               const std::map<std::uint16_t, xcb_keycode_t>& held) {
    if (!read()) {
        return std::nullopt;
    }
    const std::size_t count = keysyms_.size() / perKeycode_;
    for (std::size_t level = 0; level < std::min<std::size_t>(2, perKeycode_); ++level) {
        for (std::size_t k = 0; k < count; ++k) {
            if (keysyms_[k * perKeycode_ + level] == keysym) {
                return KeyLocation{keycodeAt(k), level == 1};
            }
        }
    }
    auto spare = freeKeycode(held);
    if (!spare) {
        return std::nullopt;
    }
    bind(*spare, keysym);
    spares_.erase(std::remove_if(spares_.begin(), spares_.end(),
                                 [&](const auto& s) { return s.first == *spare; }),
                  spares_.end());
    spares_.emplace_back(*spare, keysym);
    return KeyLocation{*spare, false, true};
}

// A keycode without symbols, else the one bound longest ago that is not held down.
std::optional<xcb_keycode_t> X11Keyboard::freeKeycode(
    const std::map<std::uint16_t, xcb_keycode_t>& held) const {
    const std::size_t count = keysyms_.size() / perKeycode_;
    for (std::size_t k = count; k-- > 0;) {
        const auto first = keysyms_.begin() + static_cast<std::ptrdiff_t>(k * perKeycode_);
        if (std::all_of(first, first + perKeycode_,
                        [](xcb_keysym_t s) { return s == XCB_NO_SYMBOL; })) {
            return keycodeAt(k);
        }
    }
    for (const auto& spare : spares_) {
        // A named copy: clang before 16 cannot capture a structured binding.
        const auto keycode = spare.first;
        if (std::none_of(held.begin(), held.end(),
                         [&](const auto& p) { return p.second == keycode; })) {
            return keycode;
        }
    }
    return std::nullopt;
}

// Binds the keysym to both levels of the keycode (NoSymbol frees it). The server tells every
// client about the new mapping before it delivers any later event.
void X11Keyboard::bind(xcb_keycode_t keycode, xcb_keysym_t keysym) {
    std::vector<xcb_keysym_t> syms(perKeycode_, XCB_NO_SYMBOL);
    syms[0] = keysym;
    if (perKeycode_ > 1) {
        syms[1] = keysym;
    }
    xcb_change_keyboard_mapping(connection_, 1, keycode, perKeycode_, syms.data());
}

}  // namespace input_relay
