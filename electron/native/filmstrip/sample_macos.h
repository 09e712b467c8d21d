// macOS samples: a CoreMedia sample buffer behind the recorder's Sample interface, and the
// conversions between CoreMedia times and errors and the recorder's own types.
#pragma once

#import <CoreMedia/CoreMedia.h>
#import <Foundation/Foundation.h>

#include <string>
#include <vector>

#include "media.h"

namespace filmstrip {

// CMTime flags have the same bit values as MediaTime's.
inline MediaTime MediaTimeFromCMTime(CMTime time) {
    return MediaTime{time.value, time.timescale, time.flags};
}

inline CMTime CMTimeFromMediaTime(MediaTime time) {
    CMTime converted = kCMTimeInvalid;
    converted.value = time.value;
    converted.timescale = time.timescale;
    converted.flags = time.flags;
    converted.epoch = 0;
    return converted;
}

// UTF-8 of a string; nil, or a string with no UTF-8 form, gives the empty string.
inline std::string StringFromNSString(NSString* text) {
    const char* utf8 = text.UTF8String;
    return utf8 == nullptr ? std::string() : std::string(utf8);
}

// The string of UTF-8 bytes; nil when they are not valid UTF-8, which the caller must check
// before passing it on (a nil path makes the file APIs raise).
inline NSString* NSStringFromUTF8(const std::string& text) {
    return [[NSString alloc] initWithBytes:text.data()
                                    length:text.size()
                                  encoding:NSUTF8StringEncoding];
}

inline MaybeError ErrorFromNSError(NSError* error) {
    if (error == nil) {
        return std::nullopt;
    }
    return Error{StringFromNSString(error.domain), static_cast<int64_t>(error.code),
                 StringFromNSString(error.localizedDescription)};
}

// The file system's own error for a file name it cannot represent.
inline Error InvalidFileNameError(NSInteger code) {
    return *ErrorFromNSError([NSError errorWithDomain:NSCocoaErrorDomain code:code userInfo:nil]);
}

// Holds one retain of its sample buffer.
class MacSample final : public Sample {
  public:
    explicit MacSample(CMSampleBufferRef buffer) : buffer_(buffer) { CFRetain(buffer_); }
    ~MacSample() override { CFRelease(buffer_); }
    MacSample(const MacSample&) = delete;
    MacSample& operator=(const MacSample&) = delete;

    // Takes over a buffer the caller already owns (a copy just made).
    static std::shared_ptr<Sample> adopt(CMSampleBufferRef owned) {
        auto sample = std::make_shared<MacSample>(owned);
        CFRelease(owned);
        return sample;
    }

    CMSampleBufferRef buffer() const { return buffer_; }

    bool hasImageBuffer() const override {
        return CMSampleBufferGetImageBuffer(buffer_) != nullptr;
    }
    MediaTime presentationTimeStamp() const override {
        return MediaTimeFromCMTime(CMSampleBufferGetPresentationTimeStamp(buffer_));
    }
    MediaTime duration() const override {
        return MediaTimeFromCMTime(CMSampleBufferGetDuration(buffer_));
    }
    std::optional<std::vector<SampleTiming>> timingInfo() const override {
        CMItemCount count = 0;
        if (CMSampleBufferGetSampleTimingInfoArray(buffer_, 0, nullptr, &count) != noErr ||
            count < 1) {
            return std::nullopt;
        }
        std::vector<CMSampleTimingInfo> entries(static_cast<size_t>(count));
        if (CMSampleBufferGetSampleTimingInfoArray(buffer_, count, entries.data(), &count) !=
            noErr) {
            return std::nullopt;
        }
        std::vector<SampleTiming> timing;
        for (const CMSampleTimingInfo& entry : entries) {
            timing.push_back({MediaTimeFromCMTime(entry.duration),
                              MediaTimeFromCMTime(entry.presentationTimeStamp),
                              MediaTimeFromCMTime(entry.decodeTimeStamp)});
        }
        return timing;
    }
    std::shared_ptr<Sample> copyWithNewTiming(
        const std::vector<SampleTiming>& timing) const override {
        std::vector<CMSampleTimingInfo> entries;
        for (const SampleTiming& entry : timing) {
            entries.push_back({CMTimeFromMediaTime(entry.duration),
                               CMTimeFromMediaTime(entry.presentationTimeStamp),
                               CMTimeFromMediaTime(entry.decodeTimeStamp)});
        }
        CMSampleBufferRef copy = nullptr;
        const OSStatus status = CMSampleBufferCreateCopyWithNewTiming(
            kCFAllocatorDefault, buffer_, static_cast<CMItemCount>(entries.size()), entries.data(),
            &copy);
        if (status != noErr || copy == nullptr) {
            return nullptr;
        }
        return adopt(copy);
    }

  private:
    CMSampleBufferRef buffer_;
};

}  // namespace filmstrip
