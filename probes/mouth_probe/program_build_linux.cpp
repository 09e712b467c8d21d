#include "program_build.h"

#include <unistd.h>

#include <system_error>

namespace probes {

std::filesystem::path programDirectory() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

void runFasterBuild(char** argv) {
#if defined(PROBES_FASTER_BUILD) && defined(__x86_64__)
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        return;
    }
    const std::filesystem::path directory = programDirectory();
    if (directory.empty()) {
        return;
    }
    const std::string faster = (directory / PROBES_FASTER_BUILD).string();
    ::execv(faster.c_str(), argv);
#else
    static_cast<void>(argv);
#endif
}

}  // namespace probes
