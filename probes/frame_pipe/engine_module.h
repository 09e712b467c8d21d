#pragma once

// On Linux each probe's engine lives in a module beside the program, loaded once the decoder
// runs: the engine's libraries (OpenCV, dlib and theirs) take tens of milliseconds to map,
// relocate and initialise, which the decoder would otherwise wait for before it could start.

#include <filesystem>
#include <memory>
#include <string>

// Marks the function a module makes its engine with.
#define PROBES_ENGINE_FACTORY extern "C" __attribute__((visibility("default")))

namespace probes {

// The directory of the running program, where its engine modules and model files lie; empty
// when it cannot be told.
std::filesystem::path programDirectory();

// The address of the function `symbol` in the module named `file` beside the program. Throws
// PlatformError, naming the module and the loader's reason, when either cannot be loaded.
void* engineModuleSymbol(const std::string& file, const char* symbol);

// The engine made by the factory `symbol` of the module named `file` beside the program.
template <typename Engine>
std::unique_ptr<Engine> loadEngine(const std::string& file, const char* symbol) {
    const auto make = reinterpret_cast<Engine* (*)()>(engineModuleSymbol(file, symbol));
    return std::unique_ptr<Engine>(make());
}

}  // namespace probes
