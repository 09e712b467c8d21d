#pragma once

#include <array>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "flow_engine.h"
#include "probe_run.h"

namespace probes {

// Decode width of the flow probe and row length of every luma array.
inline constexpr std::int64_t FLOW_WIDTH = 320;

// "%.5g" in the C locale whatever the process locale; "nan" for every not-a-number and "0"
// for both zeros.
std::string formatNumber(double value);

// "[n0,n1,…,n12]": the motion record of a pair followed by the later frame's spread.
std::string motionLine(const std::array<double, 13>& numbers);

// flow_probe DECODER VIDEO RATE: prints one motion line per pair of sampled frames and returns
// the exit status.
int runFlowProbe(std::span<const std::string> arguments,
                 const std::function<std::unique_ptr<FlowEngine>()>& makeEngine,
                 ProbeStreams streams);

}  // namespace probes
