#include "mouth_probe.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "decoder.h"
#include "number_text.h"

namespace probes {
namespace {

constexpr const char* USAGE = "mouth_probe DECODER VIDEO INTERVAL";
constexpr double DECIMAL_SCALE = 10000.0;
constexpr double MAX_SAMPLES_APART = 1e9;
// Five 960 px frames of a 16:9 video.
constexpr std::size_t READ_AHEAD_BYTES = std::size_t{8} << 20;

class MouthLoop : public FrameLoop {
  public:
    MouthLoop(std::unique_ptr<FaceEngine> engine, double interval, int out)
        : engine_(std::move(engine)),
          searchEvery_(fullSearchEvery(interval)),
          samplesSinceSearch_(searchEvery_),
          out_(out) {}

    bool readFrame(ByteSource& frames) override {
        const std::optional<Bytes> bmp = readFrameBytes(frames);
        if (!bmp) {
            return false;
        }
        writeLine(out_, frameLine(findFaces(*bmp)));
        return true;
    }

  private:
    // A face lost near where it was may have moved further (a cut, a quick turn): the whole frame
    // is then searched at once rather than at the next scheduled search.
    const std::vector<DetectedFace>& findFaces(const Bytes& bmp) {
        if (samplesSinceSearch_ < searchEvery_) {
            std::vector<DetectedFace> found = engine_->findFacesAgain(bmp, faces_);
            if (found.size() == faces_.size()) {
                faces_ = std::move(found);
                ++samplesSinceSearch_;
                return faces_;
            }
        }
        faces_ = engine_->detectFaces(bmp);
        samplesSinceSearch_ = 1;
        return faces_;
    }

    std::unique_ptr<FaceEngine> engine_;
    std::int64_t searchEvery_;
    std::int64_t samplesSinceSearch_;  // the first frame is searched whole
    std::vector<DetectedFace> faces_;
    int out_;
};

}  // namespace

std::optional<double> parseInterval(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    return parseNumberText(text);
}

std::int64_t fullSearchEvery(double interval) {
    if (!(interval > 0.0) || interval >= FULL_SEARCH_PERIOD_MS) {
        return 1;
    }
    // Bounded so that a vanishing interval still gives a representable count.
    return static_cast<std::int64_t>(std::min(FULL_SEARCH_PERIOD_MS / interval, MAX_SAMPLES_APART));
}

std::string rateText(double interval) {
    std::string text = shortestNumberText(1000.0 / interval);
    if (text.find_first_of(".en") == std::string::npos) {
        text += ".0";
    }
    return text;
}

double mouthOpening(const DetectedFace& face) {
    if (!face.innerLips || face.innerLips->empty()) {
        return 0.0;
    }
    const std::vector<NormalizedPoint>& points = *face.innerLips;
    double highest = points.front().y;
    double lowest = points.front().y;
    for (const NormalizedPoint& point : points) {
        if (point.y > highest) {
            highest = point.y;
        }
        if (point.y < lowest) {
            lowest = point.y;
        }
    }
    return highest - lowest;
}

double roundToFourDecimals(double value) {
    return std::round(value * DECIMAL_SCALE) / DECIMAL_SCALE;
}

FaceRecord faceRecord(const DetectedFace& face) {
    const double midX = face.x + face.width / 2;
    const double midY = face.y + face.height / 2;
    return {roundToFourDecimals(midX), roundToFourDecimals(1 - midY),
            roundToFourDecimals(face.width), roundToFourDecimals(face.height),
            roundToFourDecimals(mouthOpening(face))};
}

std::string frameLine(const std::vector<DetectedFace>& faces) {
    std::string line = "[";
    for (const DetectedFace& face : faces) {
        line += line.size() > 1 ? ",[" : "[";
        const FaceRecord record = faceRecord(face);
        for (std::size_t i = 0; i < record.size(); ++i) {
            if (!std::isfinite(record[i])) {
                throw PlatformError("Invalid number value (" + shortestNumberText(record[i]) +
                                    ") in JSON write");
            }
            if (i > 0) {
                line += ',';
            }
            line += shortestNumberText(record[i]);
        }
        line += "]";
    }
    return line + "]";
}

int runMouthProbe(std::span<const std::string> arguments,
                  const std::function<std::unique_ptr<FaceEngine>()>& makeEngine,
                  ProbeStreams streams) {
    const std::optional<double> interval =
        arguments.size() < 3 ? std::nullopt : parseInterval(arguments[2]);
    if (arguments.size() >= 3 && !interval) {
        writeLine(streams.err,
                  "mouth_probe: interval is not a number of milliseconds: " + arguments[2]);
    }
    if (!interval) {
        return usageFailure(USAGE, streams);
    }
    const ProbeLaunch launch{
        arguments[0], decoderArguments(arguments[1], filterText(rateText(*interval), MOUTH_WIDTH)),
        READ_AHEAD_BYTES};
    return runProbe(
        "mouth_probe", launch,
        [&] { return std::make_unique<MouthLoop>(makeEngine(), *interval, streams.out); }, streams);
}

}  // namespace probes
