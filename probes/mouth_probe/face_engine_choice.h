#pragma once

#include <string>

namespace probes {

// The face engine module for this processor: on x86-64 the build compiled for AVX2 and FMA when
// the processor has both and that build lies beside the program (dlib's header code picks its
// vector paths at compile time, which makes the face search about a third faster), otherwise the
// portable build.
std::string faceEngineModule();

}  // namespace probes
