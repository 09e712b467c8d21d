// The macOS media layer's parts, shared by its files: the capture stream over ScreenCaptureKit
// and the MP4 writer over AVFoundation.
#pragma once

#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include "media.h"

namespace filmstrip {

// `content` is the shareable content the filter's identifiers were taken from.
std::shared_ptr<CaptureStream> MakeScreenCaptureStream(SCShareableContent* content,
                                                       const ContentFilter& filter,
                                                       const StreamConfiguration& configuration,
                                                       std::weak_ptr<StreamListener> listener);
WriterResult MakeAVAssetWriter(const std::string& path);

}  // namespace filmstrip
