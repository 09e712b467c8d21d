#include "engine_module.h"

#include <dlfcn.h>

#include <string>
#include <system_error>

#include "probe_run.h"

namespace probes {

std::filesystem::path programDirectory() {
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : program.parent_path();
}

void* engineModuleSymbol(const std::string& file, const char* symbol) {
    const std::string path = (programDirectory() / file).string();
    // Kept loaded for the life of the process: the engine's code and vtables live there.
    void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* address = module ? ::dlsym(module, symbol) : nullptr;
    if (!address) {
        const char* reason = ::dlerror();
        throw PlatformError("cannot load the engine module " + path + ": " +
                            (reason ? reason : "not found"));
    }
    return address;
}

}  // namespace probes
