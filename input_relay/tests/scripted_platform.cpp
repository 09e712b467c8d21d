// The fake platform on real clocks, sleeping, parent process and output streams. The scene
// comes from the file named by INPUT_RELAY_SCENARIO, one window per line:
//   window NUMBER X Y WIDTH HEIGHT PID
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fake_platform.h"
#include "posix_process.h"

namespace input_relay {
namespace {

class ScriptedPlatform : public posix_process::PosixProcess<testing::FakePlatform> {};

}  // namespace

std::unique_ptr<Platform> makePlatform() {
    posix_process::prepareProcess();
    auto platform = std::make_unique<ScriptedPlatform>();
    const char* path = std::getenv("INPUT_RELAY_SCENARIO");
    std::ifstream scenario(path ? path : "");
    std::string line;
    while (std::getline(scenario, line)) {
        std::istringstream words(line);
        std::string kind;
        std::uint32_t number = 0;
        Rect bounds;
        std::int32_t pid = 0;
        if (words >> kind >> number >> bounds.x >> bounds.y >> bounds.width >> bounds.height >>
                pid &&
            kind == "window") {
            platform->addWindow(number, bounds, pid);
        }
    }
    return platform;
}

}  // namespace input_relay
