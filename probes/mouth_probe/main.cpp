#include <string>
#include <vector>

#include "mouth_probe.h"
#if defined(__linux__)
#include "program_build.h"
#endif

int main(int argc, char** argv) {
#if defined(__linux__)
    probes::runFasterBuild(argv);
#endif
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return probes::runMouthProbe(arguments, probes::makeFaceEngine, {});
}
