#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string_view>

#include "failure.h"
#include "grapheme.h"
#include "keys.h"

namespace input_relay {
namespace {

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const RelayFailure& failure) {
        return failure.message;
    }
    return "";
}

struct SpecCase {
    std::string specification;
    std::uint16_t code;
    Flags flags;
};

TEST(ResolveSpec, ResolvesModifiersAndKeyInAnyOrderAndCase) {
    const SpecCase cases[] = {
        {"Control+Shift+a", 0, FLAG_CONTROL | FLAG_SHIFT},
        {"CONTROL+SHIFT+A", 0, FLAG_CONTROL | FLAG_SHIFT},
        {"a+shift+ctrl", 0, FLAG_CONTROL | FLAG_SHIFT},
        {"cmd+enter", 36, FLAG_COMMAND},
        {"meta+Return", 36, FLAG_COMMAND},
        {"Shift+Tab", 48, FLAG_SHIFT},
        {"cmd+a", 0, FLAG_COMMAND},
        {"ArrowLeft+x", 7, 0},
        {"shift+1", 18, FLAG_SHIFT},
        {"option+alt+command+forwarddelete", 117, FLAG_OPTION | FLAG_COMMAND},
        {"ctrl++;", 41, FLAG_CONTROL},
        {" ", 49, 0},
        {"delete", 51, 0},
        {"cmd+\u212A", 40, FLAG_COMMAND},  // KELVIN SIGN lower-cases to k
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.specification);
        KeyChord chord = resolveSpec(c.specification, conventionsOf(Desktop::macos));
        EXPECT_EQ(chord.key.code, c.code);
        EXPECT_EQ(chord.flags, c.flags);
    }
}

TEST(ResolveSpec, RefusesSwitchingShortcutsAndUnknownKeysNamingTheTextAsWritten) {
    const std::pair<std::string, std::string> cases[] = {
        {"ctrl+tab", messages::refusedShortcut("ctrl+tab")},
        {"cmd+q", messages::refusedShortcut("cmd+q")},
        {"Option+Left", messages::refusedShortcut("Option+Left")},
        {"cmd+space", messages::refusedShortcut("cmd+space")},
        {"cmd+`", messages::refusedShortcut("cmd+`")},
        {"Meta+Tab", messages::refusedShortcut("Meta+Tab")},
        {"Shift", messages::unknownKey("Shift")},
        {"KeyA", messages::unknownKey("KeyA")},
        {"Digit1", messages::unknownKey("Digit1")},
        {"!", messages::unknownKey("!")},
        {"", messages::unknownKey("")},
        {"cmd+ab", messages::unknownKey("cmd+ab")},
        {"\xff", messages::unknownKey("\xff")},
    };
    for (const auto& [specification, message] : cases) {
        EXPECT_EQ(
            failureOf([spec = specification] { resolveSpec(spec, conventionsOf(Desktop::macos)); }),
            message)
            << specification;
    }
}

// On Linux the desktop keeps Alt switching, Control+Alt workspace and session keys and
// Control+Escape; Control (and Command, which stands for it) chords edit inside the window.
TEST(ResolveSpec, LinuxRefusesOnlyTheDesktopsOwnChords) {
    const std::pair<std::string_view, bool> cases[] = {
        {"alt+tab", true},           {"alt+shift+tab", true},   {"alt+`", true},
        {"alt+space", true},         {"alt+esc", true},         {"ctrl+alt+left", true},
        {"cmd+alt+down", true},      {"ctrl+alt+delete", true}, {"ctrl+alt+backspace", true},
        {"ctrl+alt+l", true},        {"ctrl+alt+t", true},      {"ctrl+escape", true},
        {"ctrl+left", false},        {"ctrl+w", false},         {"ctrl+t", false},
        {"ctrl+n", false},           {"ctrl+h", false},         {"cmd+q", false},
        {"ctrl+tab", false},         {"cmd+a", false},          {"alt+left", false},
        {"ctrl+shift+right", false},
    };
    const Conventions& desktop = conventionsOf(Desktop::freedesktop);
    for (const auto& [specification, refusedChord] : cases) {
        const std::string failure =
            failureOf([spec = specification, &desktop] { resolveSpec(spec, desktop); });
        EXPECT_EQ(failure, refusedChord ? messages::refusedDesktopShortcut(specification) : "")
            << specification;
    }
}

TEST(DecodeType, AcceptsOnlyPaddedStandardBase64OfUtf8) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"SGVsbG8=", "Hello"},        {"", ""},
        {"w6k=", "\u00e9"},           {"SGVsbG8", std::nullopt},
        {"SGVs\nbG8=", std::nullopt}, {"SGVs bG8=", std::nullopt},
        {"SGVsbG8-", std::nullopt},   {"/w==", std::nullopt},  // 0xFF is not UTF-8
        {"7aCA", std::nullopt},                                // an encoded surrogate
        {"wKA=", std::nullopt},                                // an overlong form
        {"S===", std::nullopt},
    };
    for (const auto& [payload, text] : cases) {
        SCOPED_TRACE(payload);
        if (text) {
            EXPECT_EQ(encodeUtf8(decodeType(payload)), *text);
        } else {
            EXPECT_EQ(failureOf([encoded = payload] { decodeType(encoded); }),
                      messages::INVALID_PAYLOAD);
        }
    }
}

TEST(ResolveCharacter, MapsCharactersOntoKeysWithOrWithoutShift) {
    const std::tuple<std::u32string, std::optional<std::uint16_t>, Flags> cases[] = {
        {U"a", 0, 0},
        {U"A", 0, FLAG_SHIFT},
        {U"?", 44, FLAG_SHIFT},
        {U"\n", 36, 0},
        {U"~", 50, FLAG_SHIFT},
        {U"\u212A", 40, FLAG_SHIFT},
        {U"\u037E", 41, 0},
        {U"\u00e9", std::nullopt, 0},
        {U"\r\n", std::nullopt, 0},
        {U"\r", std::nullopt, 0},
        {U"A\u0301", std::nullopt, 0},
    };
    for (const auto& [character, code, flags] : cases) {
        SCOPED_TRACE(encodeUtf8(character));
        auto chord = resolveCharacter(character);
        ASSERT_EQ(chord.has_value(), code.has_value());
        if (chord) {
            EXPECT_EQ(chord->key.code, *code);
            EXPECT_EQ(chord->flags, flags);
        }
    }
}

TEST(ReportedModifiers, ListsNamesInReportOrder) {
    EXPECT_EQ(reportedModifiers(FLAG_SHIFT | FLAG_COMMAND | FLAG_OPTION | FLAG_CONTROL),
              (std::vector<std::string>{"cmd", "ctrl", "alt", "shift"}));
    EXPECT_TRUE(reportedModifiers(0).empty());
}

// Every case of the Unicode grapheme break test file.
TEST(GraphemeClusters, FollowTheUnicodeBreakTestCases) {
    if (std::string_view(GRAPHEME_BREAK_TEST).empty()) {
        GTEST_SKIP() << "GraphemeBreakTest.txt (Debian package unicode-data) was not found";
    }
    std::ifstream file(GRAPHEME_BREAK_TEST);
    ASSERT_TRUE(file) << "missing " << GRAPHEME_BREAK_TEST << " (Debian package unicode-data)";
    int cases = 0;
    for (std::string line; std::getline(file, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::u32string text;
        std::vector<std::u32string> expected{U""};
        for (std::string word; words >> word;) {
            if (word == "\xC3\xB7") {  // a break
                if (!expected.back().empty()) {
                    expected.emplace_back();
                }
            } else if (word != "\xC3\x97") {  // not "no break": a code point
                const auto c = static_cast<char32_t>(std::stoul(word, nullptr, 16));
                text.push_back(c);
                expected.back().push_back(c);
            }
        }
        if (text.empty()) {
            continue;
        }
        expected.pop_back();
        ++cases;
        EXPECT_EQ(graphemeClusters(text), expected) << line;
    }
    EXPECT_GT(cases, 0);
}

TEST(RepairedUtf8, ReplacesEachByteOfAnIllFormedSequence) {
    EXPECT_EQ(repairedUtf8("a\xff\xc3\xa9\xe2\x82"), "a\uFFFD\u00e9\uFFFD\uFFFD");
}

TEST(DecodeUtf8, RoundTripsThroughBothEncodings) {
    const std::u32string text = U"a\u00e9\u20ac\U0001F600";
    EXPECT_EQ(decodeUtf8(encodeUtf8(text)), text);
    EXPECT_EQ(encodeUtf16(text), u"a\u00e9\u20ac\U0001F600");
}

}  // namespace
}  // namespace input_relay
