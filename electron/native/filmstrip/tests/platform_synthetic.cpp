// The media layer of the test build of the plug-in that records the synthetic source, for
// JavaScript tests that run without an X server.
#include "media_linux.h"

namespace filmstrip {

std::shared_ptr<Media> PlatformMedia() {
    static auto* media = new std::shared_ptr<Media>(MakeLinuxMedia(MakeSyntheticCaptureSource()));
    return *media;
}

}  // namespace filmstrip
