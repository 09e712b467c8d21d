#include "number_text.h"

#include <gtest/gtest.h>
#include <locale.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

namespace probes {
namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

TEST(ShortestNumberText, PicksTheShorterFormThatReadsBack) {
    struct Case {
        double value;
        const char* text;
    };
    for (const Case& c :
         {Case{0.0, "0"}, Case{-0.0, "-0"}, Case{2.0, "2"}, Case{0.1, "0.1"},
          Case{1000.0 / 300, "3.3333333333333335"}, Case{0.0001, "1e-04"}, Case{0.001, "0.001"},
          Case{1e-303, "1e-303"}, Case{1e21, "1e+21"},
          Case{123456789012345680000.0, "123456789012345683968"}, Case{5e-324, "5e-324"},
          Case{-1.5, "-1.5"}, Case{INF, "inf"}, Case{-INF, "-inf"},
          Case{std::numeric_limits<double>::quiet_NaN(), "nan"}}) {
        EXPECT_EQ(shortestNumberText(c.value), c.text) << c.text;
    }
}

#if defined(__cpp_lib_to_chars)
// Where the C++ library has its own shortest conversion, both give the same text.
TEST(ShortestNumberText, MatchesTheLibraryConversion) {
    std::mt19937_64 random(7);
    for (int i = 0; i < 20000; ++i) {
        const std::uint64_t bits = random();
        double value = 0;
        std::memcpy(&value, &bits, sizeof value);
        if (i % 2 == 1) {
            value = static_cast<double>(bits % 100000000) / static_cast<double>(1 + bits % 9973);
        }
        if (!std::isfinite(value)) {
            continue;
        }
        char text[64];
        char* end = std::to_chars(text, text + sizeof text, value).ptr;
        ASSERT_EQ(shortestNumberText(value), std::string(+text, end)) << value;
    }
}
#endif

TEST(SignificantNumberText, IsPrintfGeneralForm) {
    EXPECT_EQ(significantNumberText(3.14159265, 5), "3.1416");
    EXPECT_EQ(significantNumberText(0.000012345678, 5), "1.2346e-05");
    EXPECT_EQ(significantNumberText(123456789.0, 5), "1.2346e+08");
}

TEST(ParseNumberText, ReadsOnlyAWholeDecimalNumber) {
    struct Case {
        const char* text;
        std::optional<double> value;
    };
    for (const Case& c :
         {Case{"33.5", 33.5}, Case{"-1e3", -1000.0}, Case{"inf", INF}, Case{"infinity", INF},
          Case{"", std::nullopt}, Case{" 1", std::nullopt}, Case{"1 ", std::nullopt},
          Case{"0x10", std::nullopt}, Case{"nan", std::nullopt}, Case{"1e999", std::nullopt},
          Case{"5,5", std::nullopt}}) {
        EXPECT_EQ(parseNumberText(c.text), c.value) << '"' << c.text << '"';
    }
}

// Puts the process's numbers in a locale with a decimal comma: German where it is installed,
// else one that defines only numbers over ASCII, compiled into the scratch directory (fast; the
// compiler's warnings about the categories it lacks do not matter here).
bool useDecimalCommaLocale() {
    if (setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) {
        const std::filesystem::path directory = std::filesystem::path(TEST_SCRATCH) / "locales";
        std::filesystem::create_directories(directory);
        std::ofstream(directory / "comma.def")
            << "LC_NUMERIC\ndecimal_point \"<U002C>\"\nthousands_sep \"\"\ngrouping -1\n"
               "END LC_NUMERIC\n";
        const std::string compile = "localedef -c -i '" + (directory / "comma.def").string() +
                                    "' -f ANSI_X3.4-1968 '" + (directory / "comma").string() +
                                    "' >/dev/null 2>&1";
        [[maybe_unused]] const int status = std::system(compile.c_str());
        if (setenv("LOCPATH", directory.c_str(), 1) != 0 ||
            setlocale(LC_NUMERIC, "comma") == nullptr) {
            return false;
        }
    }
    return *localeconv()->decimal_point == ',';
}

// A process in a locale with a decimal comma still prints and reads a point.
TEST(NumberText, IgnoresTheProcessLocale) {
    if (!useDecimalCommaLocale()) {
        setlocale(LC_NUMERIC, "C");
        GTEST_SKIP() << "no locale with a decimal comma is available";
    }
    EXPECT_EQ(shortestNumberText(0.5), "0.5");
    EXPECT_EQ(significantNumberText(0.25, 5), "0.25");
    EXPECT_EQ(parseNumberText("0.5"), 0.5);
    EXPECT_EQ(parseNumberText("0,5"), std::nullopt);
    setlocale(LC_NUMERIC, "C");
}

}  // namespace
}  // namespace probes
