// The X keyboard as the relay types on it: virtual key codes and characters to keysyms, and
// keysyms to keycodes of the current mapping, binding spare keycodes for characters no key
// holds.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "keys.h"

namespace input_relay {

// The keysym of one Unicode character.
xcb_keysym_t keysymForCharacter(char32_t c);
// The keysym a virtual key code stands for; Command stands for Control.
std::optional<xcb_keysym_t> keysymForKeyCode(std::uint16_t code);
// The X modifier mask of the relay's flags; Command is Control.
std::uint16_t modifierMask(Flags flags);
std::vector<char32_t> codePoints(const std::u16string& units);

struct KeyLocation {
    xcb_keycode_t keycode = 0;
    bool shifted = false;
    bool newlyBound = false;  // a spare keycode bound just now
};

class X11Keyboard {
  public:
    explicit X11Keyboard(xcb_connection_t* connection) : connection_(connection) {}
    X11Keyboard(const X11Keyboard&) = delete;
    X11Keyboard& operator=(const X11Keyboard&) = delete;
    // The spare keycodes bound for typing are given back (the caller flushes).
    ~X11Keyboard();

    bool read();
    // The keycode that types the keysym unshifted or with Shift. When no key holds it, a free
    // keycode is bound to it and stays bound until the relay ends (or needs the keycode for
    // another character), so that a client reading its events late still finds the character
    // on the key. `held` are the keycodes down now, which are never rebound.
    std::optional<KeyLocation> locate(xcb_keysym_t keysym,
                                      const std::map<std::uint16_t, xcb_keycode_t>& held);

  private:
    std::optional<xcb_keycode_t> freeKeycode(
        const std::map<std::uint16_t, xcb_keycode_t>& held) const;
    xcb_keycode_t keycodeAt(std::size_t index) const {
        return static_cast<xcb_keycode_t>(minKeycode_ + index);
    }
    void bind(xcb_keycode_t keycode, xcb_keysym_t keysym);

    xcb_connection_t* connection_;
    std::vector<std::pair<xcb_keycode_t, xcb_keysym_t>> spares_;  // oldest binding first
    xcb_keycode_t minKeycode_ = 0;
    std::uint8_t perKeycode_ = 0;
    std::vector<xcb_keysym_t> keysyms_;
};

}  // namespace input_relay
