// Any bytes as a tint: a colour with components in [0, 1], or none; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "backdrop_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto color =
        backdrop::ParseHexColor(std::string_view(reinterpret_cast<const char*>(data), size));
    if (color) {
        for (double component : {color->red, color->green, color->blue, color->alpha}) {
            if (!(component >= 0 && component <= 1)) {
                std::abort();
            }
        }
    }
    return 0;
}
