#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "face_engine.h"
#include "probe_run.h"

namespace probes {

// Decode width of the mouth probe.
inline constexpr int MOUTH_WIDTH = 960;

// The whole frame is searched for faces at least once per this much video time, so that a face
// entering the picture is found within it; in between, the faces already found are looked for
// again near where they were, and one not found there is dropped at once.
inline constexpr double FULL_SEARCH_PERIOD_MS = 1000.0;

// How many samples apart the whole-frame searches are for a sampling interval in milliseconds.
std::int64_t fullSearchEvery(double interval);

// centerX, centerY (from the top), faceWidth, faceHeight, opening; each rounded to 4 decimals.
using FaceRecord = std::array<double, 5>;

// The sampling interval in milliseconds: the whole text as a C-locale number; nothing when it
// is not one.
std::optional<double> parseInterval(std::string_view text);

// 1000 ÷ interval as the shortest text that reads back to the same double, keeping ".0" on
// whole numbers ("2.0", "3.3333333333333335", "inf").
std::string rateText(double interval);

// Vertical extent of the inner-lip contour; 0 without one.
double mouthOpening(const DetectedFace& face);

// Multiplied by 10000, rounded half away from zero, divided by 10000.
double roundToFourDecimals(double value);

FaceRecord faceRecord(const DetectedFace& face);

// The compact JSON array of the frame's face records; throws PlatformError on a value JSON
// cannot hold (not a number, infinite).
std::string frameLine(const std::vector<DetectedFace>& faces);

// mouth_probe DECODER VIDEO INTERVAL: prints one line per sampled frame and returns the exit
// status. The engine is made once the decoder runs, so that both start up together.
int runMouthProbe(std::span<const std::string> arguments,
                  const std::function<std::unique_ptr<FaceEngine>()>& makeEngine,
                  ProbeStreams streams);

}  // namespace probes
