#include <string>
#include <vector>

#include "mouth_probe.h"
#if defined(FACE_ENGINE_MODULE)
#include "engine_module.h"
#include "face_engine_choice.h"
#endif

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
#if defined(FACE_ENGINE_MODULE)
    const auto makeEngine = [] {
        return probes::loadEngine<probes::FaceEngine>(probes::faceEngineModule(),
                                                      "probes_make_face_engine");
    };
#else
    const auto makeEngine = probes::makeFaceEngine;
#endif
    return probes::runMouthProbe(arguments, makeEngine, {});
}
