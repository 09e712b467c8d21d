#include <string>
#include <vector>

#include "mouth_probe.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return probes::runMouthProbe(arguments, probes::makeFaceEngine, {});
}
