#include "face_engine_choice.h"

#include <filesystem>
#include <system_error>

#include "engine_module.h"

namespace probes {

std::string faceEngineModule() {
#if defined(FACE_ENGINE_MODULE_AVX2) && defined(__x86_64__)
    __builtin_cpu_init();
    std::error_code error;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
        std::filesystem::exists(programDirectory() / FACE_ENGINE_MODULE_AVX2, error)) {
        return FACE_ENGINE_MODULE_AVX2;
    }
#endif
    return FACE_ENGINE_MODULE;
}

}  // namespace probes
