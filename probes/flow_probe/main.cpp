#include <string>
#include <vector>

#include "flow_probe.h"
#if defined(FLOW_ENGINE_MODULE)
#include "engine_module.h"
#endif

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
#if defined(FLOW_ENGINE_MODULE)
    const auto makeEngine = [] {
        return probes::loadEngine<probes::FlowEngine>(FLOW_ENGINE_MODULE,
                                                      "probes_make_flow_engine");
    };
#else
    const auto makeEngine = probes::makeFlowEngine;
#endif
    return probes::runFlowProbe(arguments, makeEngine, {});
}
