#include "media_fake.h"

#include <algorithm>
#include <cmath>

namespace filmstrip::fake {

using Lock = std::lock_guard<std::recursive_mutex>;

void ManualExecutor::async(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
}

size_t ManualExecutor::drain() {
    size_t ran = 0;
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (tasks_.empty()) {
                return ran;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        ++ran;
    }
}

size_t ManualExecutor::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tasks_.size();
}

// ---- Samples

std::shared_ptr<FakeSample> FakeSample::video(MediaTime pts, MediaTime duration, int frame,
                                              bool hasImage) {
    return std::make_shared<FakeSample>(
        hasImage, std::vector<SampleTiming>{{duration, pts, MediaTime::invalid()}}, frame);
}

std::shared_ptr<FakeSample> FakeSample::audio(MediaTime pts, MediaTime duration) {
    return std::make_shared<FakeSample>(false, std::vector<SampleTiming>{{duration, pts, pts}}, -1);
}

MediaTime FakeSample::presentationTimeStamp() const {
    return timing_.empty() ? MediaTime::invalid() : timing_.front().presentationTimeStamp;
}

MediaTime FakeSample::duration() const {
    return timing_.empty() ? MediaTime::invalid() : timing_.front().duration;
}

std::optional<std::vector<SampleTiming>> FakeSample::timingInfo() const {
    if (timing_.empty()) {
        return std::nullopt;
    }
    return timing_;
}

std::shared_ptr<Sample> FakeSample::copyWithNewTiming(
    const std::vector<SampleTiming>& timing) const {
    if (failCopies) {
        return nullptr;
    }
    return std::make_shared<FakeSample>(hasImage_, timing, frameNumber_);
}

// ---- Writer inputs

void FakeInput::setExpectsMediaDataInRealTime(bool) {}

bool FakeInput::isReadyForMoreMediaData() const {
    Lock lock(media_.mutex);
    return isVideo_ ? media_.videoReady : media_.audioReady;
}

bool FakeInput::appendSample(const std::shared_ptr<Sample>& sample) {
    Lock lock(media_.mutex);
    if (media_.failAppends || media_.writerStatus != WriterStatus::Writing) {
        return false;
    }
    (isVideo_ ? media_.appendedVideo : media_.appendedAudio)
        .push_back({sample, sample->presentationTimeStamp(), sample->duration()});
    return true;
}

void FakeInput::markAsFinished() {
    Lock lock(media_.mutex);
    ++media_.markedFinished;
}

// ---- Writer

void FakeWriter::setShouldOptimizeForNetworkUse(bool optimize) {
    Lock lock(media_.mutex);
    media_.optimizeForNetworkUse = optimize;
}

void FakeWriter::setMovieFragmentInterval(MediaTime interval) {
    Lock lock(media_.mutex);
    media_.fragmentInterval = interval;
}

std::shared_ptr<WriterInput> FakeWriter::makeVideoInput(const VideoSettings& settings) {
    auto input = std::make_shared<FakeInput>(media_, true);
    input->videoSettings = settings;
    return input;
}

std::shared_ptr<WriterInput> FakeWriter::makeAudioInput(const AudioSettings& settings) {
    auto input = std::make_shared<FakeInput>(media_, false);
    input->audioSettings = settings;
    return input;
}

bool FakeWriter::canAddInput(const std::shared_ptr<WriterInput>& input) {
    Lock lock(media_.mutex);
    const bool video = static_cast<FakeInput&>(*input).isVideo();
    return video ? !media_.refuseVideoInput : !media_.refuseAudioInput;
}

void FakeWriter::addInput(const std::shared_ptr<WriterInput>& input) {
    Lock lock(media_.mutex);
    media_.inputs.push_back(std::static_pointer_cast<FakeInput>(input));
}

bool FakeWriter::startWriting() {
    Lock lock(media_.mutex);
    if (media_.refuseStartWriting) {
        media_.writerStatus = WriterStatus::Failed;
        return false;
    }
    media_.writerStatus = WriterStatus::Writing;
    media_.files.insert(path_);
    return true;
}

WriterStatus FakeWriter::status() const {
    Lock lock(media_.mutex);
    return media_.writerStatus;
}

MaybeError FakeWriter::error() const {
    Lock lock(media_.mutex);
    return media_.writerError;
}

void FakeWriter::startSession(MediaTime sourceTime) {
    Lock lock(media_.mutex);
    media_.sessionStart = sourceTime;
}

void FakeWriter::endSession(MediaTime sourceTime) {
    Lock lock(media_.mutex);
    media_.sessionEnd = sourceTime;
}

void FakeWriter::finishWriting(std::function<void()> completion) {
    {
        Lock lock(media_.mutex);
        ++media_.finishCalls;
    }
    media_.completions.async([&media = media_, completion = std::move(completion)] {
        {
            Lock lock(media.mutex);
            media.writerStatus = media.failFinish ? WriterStatus::Failed : WriterStatus::Completed;
        }
        completion();
    });
}

void FakeWriter::cancelWriting() {
    Lock lock(media_.mutex);
    ++media_.cancelCalls;
    media_.writerStatus = WriterStatus::Cancelled;
}

// ---- Stream

MaybeError FakeStream::addStreamOutput(OutputType type) {
    Lock lock(media_.mutex);
    if (auto found = media_.addOutputErrors.find(type); found != media_.addOutputErrors.end()) {
        return found->second;
    }
    media_.outputs.insert(type);
    return std::nullopt;
}

void FakeStream::removeStreamOutput(OutputType type) {
    Lock lock(media_.mutex);
    media_.outputs.erase(type);
}

void FakeStream::startCapture(std::function<void(MaybeError)> completion) {
    MaybeError error;
    {
        Lock lock(media_.mutex);
        error = media_.startCaptureError;
    }
    media_.completions.async([completion = std::move(completion), error] { completion(error); });
}

void FakeStream::stopCapture(std::function<void(MaybeError)> completion) {
    {
        Lock lock(media_.mutex);
        ++media_.stopCaptureCalls;
    }
    media_.completions.async([completion = std::move(completion)] { completion(std::nullopt); });
}

// ---- Media

void FakeMedia::getShareableContent(
    std::function<void(std::optional<ShareableContent>, MaybeError)> completion) {
    Lock lock(mutex);
    std::optional<ShareableContent> answer;
    if (!contentError) {
        answer = content;
    }
    completions.async([completion = std::move(completion), answer, error = contentError] {
        completion(answer, error);
    });
}

std::string FakeMedia::hostApplicationIdentifier() {
    Lock lock(mutex);
    return hostIdentifier;
}

std::optional<DisplayMode> FakeMedia::displayMode(uint32_t displayID) {
    Lock lock(mutex);
    if (auto found = modes.find(displayID); found != modes.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::optional<std::vector<uint32_t>> FakeMedia::displaysWithPoint(double, double,
                                                                  uint32_t maxDisplays) {
    Lock lock(mutex);
    if (displaysAtPoint && displaysAtPoint->size() > maxDisplays) {
        return std::vector<uint32_t>(displaysAtPoint->begin(),
                                     displaysAtPoint->begin() + maxDisplays);
    }
    return displaysAtPoint;
}

uint32_t FakeMedia::mainDisplayID() {
    Lock lock(mutex);
    return mainDisplay;
}

std::shared_ptr<CaptureStream> FakeMedia::makeStream(const ContentFilter& filter,
                                                     const StreamConfiguration& configuration,
                                                     std::weak_ptr<StreamListener> listener) {
    Lock lock(mutex);
    lastFilter = filter;
    lastConfiguration = configuration;
    outputs.clear();
    stream = std::make_shared<FakeStream>(*this, std::move(listener));
    return stream;
}

WriterResult FakeMedia::makeMP4Writer(const std::string& path) {
    Lock lock(mutex);
    writerStatus = WriterStatus::Unknown;
    writerError.reset();
    inputs.clear();
    appendedVideo.clear();
    appendedAudio.clear();
    sessionStart.reset();
    sessionEnd.reset();
    if (writerCreationError) {
        return {nullptr, writerCreationError};
    }
    writer = std::make_shared<FakeWriter>(*this, path);
    return {writer, std::nullopt};
}

MediaTime FakeMedia::hostTime() {
    Lock lock(mutex);
    return now;
}

bool FakeMedia::fileExists(const std::string& path) {
    Lock lock(mutex);
    return files.count(path) != 0;
}

MaybeError FakeMedia::removeFile(const std::string& path) {
    Lock lock(mutex);
    if (unremovableFiles.count(path) != 0) {
        return Error{"NSCocoaErrorDomain", 513, "permission denied"};
    }
    files.erase(path);
    return std::nullopt;
}

void FakeMedia::log(const std::string& line) {
    Lock lock(mutex);
    log_.push_back(line);
}

void FakeMedia::setHostSeconds(double seconds) {
    Lock lock(mutex);
    now = MediaTime::make(std::llround(seconds * 1000), 1000);
}

void FakeMedia::deliver(const std::shared_ptr<Sample>& sample, OutputType type) {
    std::shared_ptr<StreamListener> listener;
    {
        Lock lock(mutex);
        if (!stream || outputs.count(type) == 0) {
            return;
        }
        listener = stream->listener().lock();
    }
    if (listener) {
        listener->streamDidOutputSample(sample, type);
    }
}

void FakeMedia::killStream(MaybeError error) {
    std::shared_ptr<StreamListener> listener;
    {
        Lock lock(mutex);
        if (!stream) {
            return;
        }
        listener = stream->listener().lock();
    }
    if (listener) {
        listener->streamDidStopWithError(error);
    }
}

std::vector<std::string> FakeMedia::logLines() const {
    Lock lock(mutex);
    return log_;
}

bool FakeMedia::hasLogLine(const std::string& line) const {
    Lock lock(mutex);
    return std::find(log_.begin(), log_.end(), line) != log_.end();
}

}  // namespace filmstrip::fake
