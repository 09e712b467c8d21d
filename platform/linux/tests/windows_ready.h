// The line a test X client prints once its windows are up, {"windows":[id,...]}, which the
// tests wait for before they look at the display.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

template <typename WindowId>
void announceWindows(const std::vector<WindowId>& windows) {
    std::string line = "{\"windows\":[";
    for (size_t i = 0; i < windows.size(); ++i) {
        if (i > 0) {
            line += ',';
        }
        line += std::to_string(windows[i]);
    }
    std::printf("%s]}\n", line.c_str());
    std::fflush(stdout);
}
