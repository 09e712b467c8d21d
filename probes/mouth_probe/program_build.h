#pragma once

#include <filesystem>

namespace probes {

// The directory of the running program, where its packed face model and its other builds lie;
// empty when it cannot be told.
std::filesystem::path programDirectory();

// Replaces the process with the build of this program compiled for AVX2 and FMA when the
// processor has them and that build lies beside this one; returns when it does not apply or the
// other build cannot be started, and this build then does the work.
void runFasterBuild(char** argv);

}  // namespace probes
