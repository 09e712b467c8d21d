// The media layer the plug-in records through on Linux: the X server and PulseAudio.
#include "media_linux.h"

namespace filmstrip {

// Made once and never destroyed: recordings may still be finishing while the process exits.
std::shared_ptr<Media> PlatformMedia() {
    static auto* media = new std::shared_ptr<Media>(MakeLinuxMedia(MakeX11CaptureSource()));
    return *media;
}

}  // namespace filmstrip
