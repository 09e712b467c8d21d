// Capture from the X server. Displays are the RandR outputs that show a mode (the whole
// screen without RandR); windows are the ordinary top-level clients; an application is the
// executable that owns windows. A display is read from the root window through MIT-SHM, and
// the areas of excluded windows are painted again from the Composite pixmaps of the windows
// they hid. A window is read from its own Composite pixmap, so covering it does not matter.
// System audio comes from PulseAudio (audio_pulse_linux.cpp).
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>
#include <variant>

#include "audio_pulse_linux.h"
#include "capture_thread_linux.h"
#include "linux_sample.h"
#include "media_linux.h"
#include "session.h"
#include "x11_windows.h"

namespace filmstrip {
namespace {

constexpr const char* kX11Domain = "X11";
enum X11ErrorCode : int {
    kCodeNoDisplay = 1,
    kCodeConnectionLost = 2,
    kCodeDisplayGone = 3,
    kCodeWindowGone = 4,
    kCodePixelFormat = 5,
    kCodeNoComposite = 6,
};
constexpr const char* kMessageNoDisplay = "Cannot connect to the X display";
constexpr const char* kMessageConnectionLost = "The connection to the X display was lost";
constexpr const char* kMessageDisplayGone = " is no longer connected";  // after "Display <id>"
constexpr const char* kMessageWindowGone = "The window was closed";
constexpr const char* kMessagePixelFormat = "The X display's pixel format is not supported";
constexpr const char* kMessageNoComposite =
    "The X server cannot capture single windows (no Composite extension)";
// New windows of an excluded application are looked for this often.
constexpr auto kExclusionRefresh = std::chrono::milliseconds(500);
constexpr int kBytesPerPixel = 4;
constexpr const char* kThreadName = "x11-capture";
// Picture buffers kept for reuse beyond those in flight to the writer.
constexpr size_t kSparePictures = 4;
constexpr int kMaxWindowDepth = 64;  // ancestors looked through to find a top-level window

Error x11Error(X11ErrorCode code, std::string message) {
    return Error{kX11Domain, code, std::move(message)};
}

template <typename T>
using Reply = platform_linux::XcbReply<T>;

struct PixelRect {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    bool contains(double px, double py) const {
        return px >= static_cast<double>(x) && py >= static_cast<double>(y) &&
               px < static_cast<double>(x + width) && py < static_cast<double>(y + height);
    }
    PixelRect intersection(const PixelRect& other) const {
        const int64_t left = std::max(x, other.x);
        const int64_t top = std::max(y, other.y);
        const int64_t right = std::min(x + width, other.x + other.width);
        const int64_t bottom = std::min(y + height, other.y + other.height);
        return {left, top, std::max<int64_t>(right - left, 0), std::max<int64_t>(bottom - top, 0)};
    }
    bool operator==(const PixelRect&) const = default;
};

// One client connection and its default screen.
class XConnection {
  public:
    XConnection() {
        int screenNumber = 0;
        connection_ = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(connection_) != 0) {
            return;
        }
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
        for (int i = 0; screens.rem > 0; ++i, xcb_screen_next(&screens)) {
            if (i == screenNumber) {
                screen_ = screens.data;
            }
        }
        const xcb_query_extension_reply_t* randr =
            xcb_get_extension_data(connection_, &xcb_randr_id);
        hasRandR_ = randr != nullptr && randr->present;
        if (hasRandR_) {
            // The server answers RandR 1.2 requests only to clients that announced them.
            Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
                connection_, xcb_randr_query_version(connection_, 1, 3), nullptr));
            hasRandR_ = version && (version->major_version > 1 || version->minor_version >= 2);
        }
    }
    ~XConnection() { xcb_disconnect(connection_); }
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    bool usable() const { return screen_ != nullptr && !broken(); }
    bool broken() const { return xcb_connection_has_error(connection_) != 0; }
    xcb_connection_t* get() const { return connection_; }
    const xcb_screen_t& screen() const { return *screen_; }
    xcb_window_t root() const { return screen_->root; }
    bool hasRandR() const { return hasRandR_; }

  private:
    xcb_connection_t* connection_ = nullptr;
    xcb_screen_t* screen_ = nullptr;
    bool hasRandR_ = false;
};

struct X11Display {
    uint32_t id = 0;
    PixelRect rect;
};

// Every RandR output that is connected and shows a mode; the whole screen, named by the root
// window, when there is no RandR or no such output.
std::vector<X11Display> queryDisplays(const XConnection& x) {
    std::vector<X11Display> displays;
    xcb_connection_t* c = x.get();
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources;
    if (x.hasRandR()) {
        resources.reset(xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, x.root()), nullptr));
    }
    if (resources) {
        const xcb_randr_output_t* outputs =
            xcb_randr_get_screen_resources_current_outputs(resources.get());
        const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
        for (int i = 0; i < count; ++i) {
            Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
                c, xcb_randr_get_output_info(c, outputs[i], resources->config_timestamp), nullptr));
            if (!output || output->connection != XCB_RANDR_CONNECTION_CONNECTED ||
                output->crtc == XCB_NONE) {
                continue;
            }
            Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
                c, xcb_randr_get_crtc_info(c, output->crtc, resources->config_timestamp), nullptr));
            if (crtc && crtc->mode != XCB_NONE && crtc->width > 0 && crtc->height > 0) {
                displays.push_back({outputs[i], {crtc->x, crtc->y, crtc->width, crtc->height}});
            }
        }
    }
    if (displays.empty() && !x.broken()) {
        displays.push_back(
            {x.root(), {0, 0, x.screen().width_in_pixels, x.screen().height_in_pixels}});
    }
    return displays;
}

std::optional<X11Display> findDisplay(const XConnection& x, uint32_t displayID) {
    for (const X11Display& display : queryDisplays(x)) {
        if (display.id == displayID) {
            return display;
        }
    }
    return std::nullopt;
}

// The path of the executable a process runs; "" when unknown.
std::string executablePath(pid_t pid) {
    if (pid <= 0) {
        return {};
    }
    std::error_code error;
    const std::filesystem::path path =
        std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    return error ? std::string() : path.string();
}

// The child of the root that holds `window` (its window manager frame, or itself).
std::optional<xcb_window_t> topLevelOf(const XConnection& x, xcb_window_t window) {
    for (int depth = 0; depth < kMaxWindowDepth; ++depth) {
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(x.get(), xcb_query_tree(x.get(), window), nullptr));
        if (!tree) {
            return std::nullopt;
        }
        if (tree->parent == x.root() || tree->parent == XCB_NONE) {
            return window;
        }
        window = tree->parent;
    }
    return std::nullopt;
}

// Whether pictures of this depth arrive as 32-bit little-endian pixels with blue in the
// lowest byte, which is BGRA in memory.
bool isBGRADepth(const XConnection& x, uint8_t depth) {
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || (depth != 24 && depth != 32)) {
        return false;
    }
    for (xcb_format_iterator_t formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
         xcb_format_next(&formats)) {
        if (formats.data->depth == depth) {
            return formats.data->bits_per_pixel == 32;
        }
    }
    return false;
}

bool rootIsBGRA(const XConnection& x) {
    const xcb_screen_t& screen = x.screen();
    for (xcb_depth_iterator_t depths = xcb_screen_allowed_depths_iterator(&screen); depths.rem > 0;
         xcb_depth_next(&depths)) {
        for (xcb_visualtype_iterator_t visuals = xcb_depth_visuals_iterator(depths.data);
             visuals.rem > 0; xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen.root_visual) {
                return isBGRADepth(x, screen.root_depth) && visuals.data->red_mask == 0xff0000 &&
                       visuals.data->green_mask == 0xff00 && visuals.data->blue_mask == 0xff;
            }
        }
    }
    return false;
}

bool canShareMemory(xcb_connection_t* c) {
    const xcb_query_extension_reply_t* shm = xcb_get_extension_data(c, &xcb_shm_id);
    return shm != nullptr && shm->present;
}

// Memory for one picture: a shared memory segment the X server writes into directly, or
// local memory when the server cannot share memory with this process (a remote display).
// The server keeps its side of a segment until the connection closes, so segments are
// reused, never detached one by one.
class PictureBuffer {
  public:
    PictureBuffer(xcb_connection_t* c, bool shareable, size_t size) {
        if (shareable) {
            attachShared(c, size);
        }
        if (shared_ == nullptr) {
            local_.resize(size);
        }
    }
    ~PictureBuffer() {
        if (shared_ != nullptr) {
            shmdt(shared_);
        }
    }
    PictureBuffer(const PictureBuffer&) = delete;
    PictureBuffer& operator=(const PictureBuffer&) = delete;

    uint8_t* data() { return shared_ != nullptr ? shared_ : local_.data(); }
    // The segment the server writes into; 0 for local memory.
    xcb_shm_seg_t segment() const { return segment_; }

  private:
    void attachShared(xcb_connection_t* c, size_t size) {
        const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id < 0) {
            return;
        }
        void* address = shmat(id, nullptr, 0);
        if (address != reinterpret_cast<void*>(-1)) {
            const xcb_shm_seg_t segment = xcb_generate_id(c);
            Reply<xcb_generic_error_t> error(
                xcb_request_check(c, xcb_shm_attach_checked(c, segment, id, 0)));
            if (error) {
                shmdt(address);
            } else {
                shared_ = static_cast<uint8_t*>(address);
                segment_ = segment;
            }
        }
        // Removed now, it goes away with the last detach, even if this process dies.
        shmctl(id, IPC_RMID, nullptr);
    }

    uint8_t* shared_ = nullptr;
    xcb_shm_seg_t segment_ = 0;
    std::vector<uint8_t> local_;
};

// Full-size picture buffers, reused: a recording does not make (and fault in) a new one for
// every frame. Only the capture thread takes; frames give theirs back from any thread.
class PictureBuffers {
  public:
    // The spares are made, and their pages touched, before capture starts: making and
    // attaching a full-size segment while recording costs the first frames of a take.
    PictureBuffers(xcb_connection_t* c, size_t size)
        : c_(c), shareable_(canShareMemory(c)), size_(size) {
        for (size_t i = 0; i < kSparePictures; ++i) {
            auto buffer = std::make_unique<PictureBuffer>(c_, shareable_, size_);
            std::memset(buffer->data(), 0, size_);
            free_.push_back(std::move(buffer));
        }
    }

    std::unique_ptr<PictureBuffer> take() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!free_.empty()) {
                std::unique_ptr<PictureBuffer> buffer = std::move(free_.back());
                free_.pop_back();
                return buffer;
            }
        }
        return std::make_unique<PictureBuffer>(c_, shareable_, size_);
    }

    void give(std::unique_ptr<PictureBuffer> buffer) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < kSparePictures) {
            free_.push_back(std::move(buffer));
        }
    }

  private:
    xcb_connection_t* const c_;  // used by take(), while the capture lives
    const bool shareable_;
    const size_t size_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<PictureBuffer>> free_;
};

// Reads rectangles of drawables as BGRA: a whole picture straight into its buffer, parts
// through a scratch buffer.
class ImageReader {
  public:
    ImageReader(xcb_connection_t* c, size_t capacity)
        : c_(c), capacity_(capacity), scratch_(c, canShareMemory(c), capacity) {}

    // Reads `area` into `target`, whose rows are exactly `area.width` pixels long.
    bool readWhole(xcb_drawable_t drawable, const PixelRect& area, PictureBuffer& target) {
        Reply<xcb_get_image_reply_t> plain;
        const uint8_t* source = fetch(drawable, area, target, plain);
        if (source != nullptr && source != target.data()) {
            std::memcpy(target.data(), source, bytes(area));
        }
        return source != nullptr;
    }

    // Copies `area` to rows of `stride` bytes at `destination`.
    bool read(xcb_drawable_t drawable, const PixelRect& area, uint8_t* destination, size_t stride) {
        Reply<xcb_get_image_reply_t> plain;
        const uint8_t* source = fetch(drawable, area, scratch_, plain);
        if (source == nullptr) {
            return false;
        }
        const auto rowBytes = static_cast<size_t>(area.width) * kBytesPerPixel;
        for (int64_t row = 0; row < area.height; ++row) {
            std::memcpy(destination + static_cast<size_t>(row) * stride,
                        source + static_cast<size_t>(row) * rowBytes, rowBytes);
        }
        return true;
    }

  private:
    static size_t bytes(const PixelRect& area) {
        return static_cast<size_t>(area.width) * kBytesPerPixel * static_cast<size_t>(area.height);
    }

    // The pixels of `area`, rows packed: in `into` when it is shared memory, else in `plain`;
    // null when the drawable could not be read.
    const uint8_t* fetch(xcb_drawable_t drawable, const PixelRect& area, PictureBuffer& into,
                         Reply<xcb_get_image_reply_t>& plain) {
        if (area.empty() || bytes(area) > capacity_) {
            return nullptr;
        }
        const auto x = static_cast<int16_t>(area.x);
        const auto y = static_cast<int16_t>(area.y);
        const auto width = static_cast<uint16_t>(area.width);
        const auto height = static_cast<uint16_t>(area.height);
        if (into.segment() != 0) {
            Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
                c_,
                xcb_shm_get_image(c_, drawable, x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                                  into.segment(), 0),
                nullptr));
            return image ? into.data() : nullptr;
        }
        plain.reset(xcb_get_image_reply(
            c_, xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x, y, width, height, ~0u),
            nullptr));
        if (!plain || static_cast<size_t>(xcb_get_image_data_length(plain.get())) < bytes(area)) {
            return nullptr;
        }
        return xcb_get_image_data(plain.get());
    }

    xcb_connection_t* c_;
    const size_t capacity_;
    PictureBuffer scratch_;
};

// What a display capture leaves out: windows by id, and every window of some executables.
struct Exclusion {
    std::set<uint32_t> windows;
    std::set<std::string> applications;

    bool empty() const { return windows.empty() && applications.empty(); }
    bool excludes(const platform_linux::X11Window& window) const {
        return windows.contains(window.id) ||
               (!applications.empty() && applications.contains(executablePath(window.pid)));
    }
};

Exclusion exclusionFor(const ContentFilter& filter) {
    Exclusion exclusion;
    if (filter.kind == ContentFilter::Kind::DisplayExcludingApplications) {
        for (const ContentApplication& application : filter.excludedApplications) {
            exclusion.applications.insert(application.bundleIdentifier);
        }
    } else if (filter.kind == ContentFilter::Kind::DisplayExcludingWindows) {
        for (const ContentWindow& window : filter.excludedWindows) {
            exclusion.windows.insert(window.windowID);
        }
    }
    return exclusion;
}

// A top-level window as the compositing of excluded areas needs it.
struct TopLevel {
    xcb_window_t id = 0;
    PixelRect outer;  // border included, root coordinates
    bool drawable = false;
};

using Captured = std::variant<std::shared_ptr<const VideoFrame>, Error>;

// Takes pictures of one display (or a rectangle of it) or one window, at the stream's size,
// on the capture thread. A picture equal to the previous one is reported as unchanged.
class X11Capture {
  public:
    static std::variant<std::unique_ptr<X11Capture>, Error> open(
        const ContentFilter& filter, const StreamConfiguration& config) {
        auto capture = std::unique_ptr<X11Capture>(new X11Capture(filter, config));
        if (MaybeError error = capture->prepare()) {
            return *error;
        }
        return capture;
    }
    ~X11Capture() { sws_freeContext(scaler_); }
    X11Capture(const X11Capture&) = delete;
    X11Capture& operator=(const X11Capture&) = delete;

    // The picture now; null when it has not changed (or cannot be seen just now); an error
    // when the display or the window has gone.
    Captured capture() {
        if (x_.broken()) {
            return x11Error(kCodeConnectionLost, kMessageConnectionLost);
        }
        std::optional<Error> gone;
        const bool read =
            filter_.kind == ContentFilter::Kind::Window ? readWindow(gone) : readDisplay(gone);
        if (x_.broken()) {
            return x11Error(kCodeConnectionLost, kMessageConnectionLost);
        }
        if (gone) {
            return *gone;
        }
        const uint8_t* previous = lastPicture();
        if (!read ||
            (previous != nullptr && std::memcmp(current_->data(), previous, pictureBytes()) == 0)) {
            return std::shared_ptr<const VideoFrame>();
        }
        if (scaler_ == nullptr) {
            last_ = handOver(std::exchange(current_, buffers_->take()));
            return last_;
        }
        std::swap(current_, previous_);
        if (!current_) {
            current_ = buffers_->take();  // the first picture
        }
        last_ = convert(previous_->data());
        return last_;
    }

  private:
    X11Capture(const ContentFilter& filter, const StreamConfiguration& config)
        : filter_(filter),
          config_(config),
          width_(static_cast<int>(config.width)),
          height_(static_cast<int>(config.height)),
          stride_(static_cast<size_t>(config.width) * kBytesPerPixel),
          exclusion_(exclusionFor(filter)) {}

    MaybeError prepare() {
        if (!x_.usable()) {
            return x11Error(kCodeNoDisplay, kMessageNoDisplay);
        }
        const xcb_query_extension_reply_t* composite =
            xcb_get_extension_data(x_.get(), &xcb_composite_id);
        if (composite != nullptr && composite->present) {
            Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
                x_.get(), xcb_composite_query_version(x_.get(), 0, 4), nullptr));
            // Naming a window's pixmap arrived in 0.2.
            hasComposite_ = version && (version->major_version > 0 || version->minor_version >= 2);
        }
        if (filter_.kind == ContentFilter::Kind::Window) {
            if (!hasComposite_) {
                return x11Error(kCodeNoComposite, kMessageNoComposite);
            }
            window_ = filter_.window.windowID;
            Reply<xcb_get_geometry_reply_t> geometry(
                xcb_get_geometry_reply(x_.get(), xcb_get_geometry(x_.get(), window_), nullptr));
            if (!geometry || !followTopLevel()) {
                return x11Error(kCodeWindowGone, kMessageWindowGone);
            }
            if (!isBGRADepth(x_, geometry->depth)) {
                return x11Error(kCodePixelFormat, kMessagePixelFormat);
            }
        } else {
            if (!rootIsBGRA(x_)) {
                return x11Error(kCodePixelFormat, kMessagePixelFormat);
            }
            if (!findDisplay(x_, filter_.display.displayID)) {
                return displayGone();
            }
            if (!exclusion_.empty() && hasComposite_) {
                // Every top-level window keeps its picture off screen while we record, so that
                // what an excluded window covers can be painted again.
                xcb_composite_redirect_subwindows(x_.get(), x_.root(),
                                                  XCB_COMPOSITE_REDIRECT_AUTOMATIC);
            }
        }
        const size_t pictureBytes = stride_ * static_cast<size_t>(height_);
        buffers_ = std::make_shared<PictureBuffers>(x_.get(), pictureBytes);
        current_ = buffers_->take();
        reader_ = std::make_unique<ImageReader>(x_.get(), pictureBytes);
        if (config_.pixelFormat != kPixelFormatBGRA) {
            scaler_ = sws_getContext(width_, height_, AV_PIX_FMT_BGRA, width_, height_,
                                     AV_PIX_FMT_NV12, SWS_POINT, nullptr, nullptr, nullptr);
            if (scaler_ == nullptr) {
                return x11Error(kCodePixelFormat, kMessagePixelFormat);
            }
            const int* matrix = sws_getCoefficients(SWS_CS_DEFAULT);
            const int fullRange = config_.pixelFormat == kPixelFormat420f ? 1 : 0;
            sws_setColorspaceDetails(scaler_, matrix, 1, matrix, fullRange, 0, 1 << 16, 1 << 16);
        }
        return std::nullopt;
    }

    Error displayGone() const {
        return x11Error(kCodeDisplayGone, "Display " + std::to_string(filter_.display.displayID) +
                                              kMessageDisplayGone);
    }

    // Finds (again) the top-level window that holds the captured window and keeps its
    // picture off screen; false when the window no longer exists.
    bool followTopLevel() {
        const std::optional<xcb_window_t> top = topLevelOf(x_, window_);
        if (!top) {
            return false;
        }
        if (*top != topLevel_) {
            topLevel_ = *top;
            xcb_composite_redirect_window(x_.get(), topLevel_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        }
        return true;
    }

    uint8_t* at(int64_t x, int64_t y) {
        return current_->data() + static_cast<size_t>(y) * stride_ +
               static_cast<size_t>(x) * kBytesPerPixel;
    }

    void clear(const PixelRect& area) {
        for (int64_t row = area.y; row < area.y + area.height; ++row) {
            std::memset(at(area.x, row), 0, static_cast<size_t>(area.width) * kBytesPerPixel);
        }
    }

    // Reads from the window's Composite pixmap, named for the time of `read`; false when the
    // window has none just now (it is not viewable).
    template <typename Read>
    bool readPixmap(xcb_window_t window, Read read) {
        const xcb_pixmap_t pixmap = xcb_generate_id(x_.get());
        Reply<xcb_generic_error_t> error(xcb_request_check(
            x_.get(), xcb_composite_name_window_pixmap_checked(x_.get(), window, pixmap)));
        if (error) {
            return false;
        }
        const bool done = read(pixmap);
        xcb_free_pixmap(x_.get(), pixmap);
        return done;
    }

    bool readWindow(std::optional<Error>& gone) {
        xcb_connection_t* c = x_.get();
        auto attributesCookie = xcb_get_window_attributes(c, window_);
        auto geometryCookie = xcb_get_geometry(c, topLevel_);
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, attributesCookie, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(c, geometryCookie, nullptr));
        if (!attributes) {
            gone = x11Error(kCodeWindowGone, kMessageWindowGone);
            return false;
        }
        if (!geometry) {
            // The window manager framed the window anew.
            if (!followTopLevel()) {
                gone = x11Error(kCodeWindowGone, kMessageWindowGone);
            }
            return false;
        }
        if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            return false;  // minimised or hidden: the last picture stands
        }
        const int64_t border = geometry->border_width;
        const PixelRect outer{0, 0, geometry->width + 2 * border, geometry->height + 2 * border};
        const PixelRect whole{0, 0, width_, height_};
        const PixelRect area = outer.intersection(whole);
        if (area != whole) {
            clear(whole);
        }
        return readPixmap(topLevel_, [&](xcb_pixmap_t pixmap) {
            return area == whole ? reader_->readWhole(pixmap, area, *current_)
                                 : reader_->read(pixmap, area, at(0, 0), stride_);
        });
    }

    bool readDisplay(std::optional<Error>& gone) {
        const std::optional<X11Display> display = findDisplay(x_, filter_.display.displayID);
        if (!display) {
            gone = displayGone();
            return false;
        }
        PixelRect area{display->rect.x, display->rect.y, width_, height_};
        if (config_.sourceRect) {
            area.x += std::llround(config_.sourceRect->x);
            area.y += std::llround(config_.sourceRect->y);
        }
        const PixelRect visible = area.intersection(display->rect);
        if (visible == area) {
            if (!reader_->readWhole(x_.root(), area, *current_)) {
                return false;
            }
        } else {
            clear({0, 0, width_, height_});
            if (!visible.empty() &&
                !reader_->read(x_.root(), visible, at(visible.x - area.x, visible.y - area.y),
                               stride_)) {
                return false;
            }
        }
        paintOverExcluded(area);
        return true;
    }

    // The top-level windows, bottom to top; every request is sent before the first answer
    // is awaited.
    std::vector<TopLevel> topLevels() {
        xcb_connection_t* c = x_.get();
        std::vector<TopLevel> windows;
        Reply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, x_.root()), nullptr));
        if (!tree) {
            return windows;
        }
        const xcb_window_t* children = xcb_query_tree_children(tree.get());
        const auto count = static_cast<size_t>(xcb_query_tree_children_length(tree.get()));
        std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
        std::vector<xcb_get_geometry_cookie_t> geometryCookies;
        for (size_t i = 0; i < count; ++i) {
            attributeCookies.push_back(xcb_get_window_attributes(c, children[i]));
            geometryCookies.push_back(xcb_get_geometry(c, children[i]));
        }
        for (size_t i = 0; i < count; ++i) {
            Reply<xcb_get_window_attributes_reply_t> attributes(
                xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
            Reply<xcb_get_geometry_reply_t> geometry(
                xcb_get_geometry_reply(c, geometryCookies[i], nullptr));
            if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
                attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
                continue;
            }
            const int64_t border = geometry->border_width;
            windows.push_back({children[i],
                               {geometry->x, geometry->y, geometry->width + 2 * border,
                                geometry->height + 2 * border},
                               isBGRADepth(x_, geometry->depth)});
        }
        return windows;
    }

    void refreshExcluded() {
        const auto now = std::chrono::steady_clock::now();
        if (refreshed_ && now - lastRefresh_ < kExclusionRefresh) {
            return;
        }
        refreshed_ = true;
        lastRefresh_ = now;
        excludedTopLevels_.clear();
        const platform_linux::X11WindowEnumerator windows(x_.get(), x_.root());
        for (const platform_linux::X11Window& window : windows.onScreenWindows()) {
            if (exclusion_.excludes(window)) {
                if (const std::optional<xcb_window_t> top = topLevelOf(x_, window.id)) {
                    excludedTopLevels_.insert(*top);
                }
            }
        }
    }

    // Where an excluded window lies, the picture shows the windows below and above it again,
    // from their own pixmaps, over black; without Composite the area stays black.
    void paintOverExcluded(const PixelRect& area) {
        if (exclusion_.empty()) {
            return;
        }
        refreshExcluded();
        if (excludedTopLevels_.empty()) {
            return;
        }
        const std::vector<TopLevel> windows = topLevels();
        for (const TopLevel& excluded : windows) {
            if (!excludedTopLevels_.contains(excluded.id)) {
                continue;
            }
            const PixelRect hidden = excluded.outer.intersection(area);
            if (hidden.empty()) {
                continue;
            }
            const PixelRect local{hidden.x - area.x, hidden.y - area.y, hidden.width,
                                  hidden.height};
            clear(local);
            for (const TopLevel& window : windows) {
                const PixelRect shown = window.outer.intersection(hidden);
                if (!hasComposite_ || excludedTopLevels_.contains(window.id) || !window.drawable ||
                    shown.empty()) {
                    continue;
                }
                readPixmap(window.id, [&](xcb_pixmap_t pixmap) {
                    const PixelRect inPixmap{shown.x - window.outer.x, shown.y - window.outer.y,
                                             shown.width, shown.height};
                    return reader_->read(pixmap, inPixmap, at(shown.x - area.x, shown.y - area.y),
                                         stride_);
                });
            }
        }
    }

    size_t pictureBytes() const { return stride_ * static_cast<size_t>(height_); }

    // The picture delivered last, as read (BGRA); null before the first.
    const uint8_t* lastPicture() const {
        if (!last_) {
            return nullptr;
        }
        return scaler_ == nullptr ? last_->plane(0) : previous_->data();
    }

    std::shared_ptr<VideoFrame> newFrame() const {
        auto frame = std::make_shared<VideoFrame>();
        frame->width = width_;
        frame->height = height_;
        frame->pixelFormat = config_.pixelFormat;
        return frame;
    }

    // The BGRA picture becomes the frame without a copy; its buffer comes back for a later
    // picture once the writer and the recorder have let go of the frame.
    std::shared_ptr<const VideoFrame> handOver(std::unique_ptr<PictureBuffer> picture) const {
        std::shared_ptr<VideoFrame> frame = newFrame();
        frame->strides[0] = static_cast<int>(stride_);
        frame->externalPlanes[0] = picture->data();
        frame->pixelOwner = std::shared_ptr<PictureBuffer>(
            picture.release(), [buffers = buffers_](PictureBuffer* done) {
                buffers->give(std::unique_ptr<PictureBuffer>(done));
            });
        return frame;
    }

    // 4:2:0 formats: luma rows, then interleaved chroma at half height.
    std::shared_ptr<const VideoFrame> convert(const uint8_t* bgra) const {
        std::shared_ptr<VideoFrame> frame = newFrame();
        frame->strides[0] = frame->strides[1] = width_;
        frame->planes[0].resize(static_cast<size_t>(width_) * static_cast<size_t>(height_));
        frame->planes[1].resize(static_cast<size_t>(width_) * static_cast<size_t>(height_ / 2));
        const uint8_t* source[1] = {bgra};
        const int sourceStride[1] = {static_cast<int>(stride_)};
        uint8_t* planes[2] = {frame->planes[0].data(), frame->planes[1].data()};
        sws_scale(scaler_, source, sourceStride, 0, height_, planes, frame->strides);
        return frame;
    }

    XConnection x_;
    const ContentFilter filter_;
    const StreamConfiguration config_;
    const int width_;
    const int height_;
    const size_t stride_;
    const Exclusion exclusion_;
    bool hasComposite_ = false;
    xcb_window_t window_ = XCB_NONE;
    xcb_window_t topLevel_ = XCB_NONE;
    std::unique_ptr<ImageReader> reader_;
    SwsContext* scaler_ = nullptr;
    std::shared_ptr<PictureBuffers> buffers_;
    std::unique_ptr<PictureBuffer> current_;
    // The last picture delivered: the frame itself for BGRA, the picture before conversion
    // for the 4:2:0 formats (empty until the first).
    std::shared_ptr<const VideoFrame> last_;
    std::unique_ptr<PictureBuffer> previous_;
    std::set<xcb_window_t> excludedTopLevels_;
    bool refreshed_ = false;
    std::chrono::steady_clock::time_point lastRefresh_;
};

// A capture stream of the X server: pictures on a thread of its own at the configured frame
// rate, system audio on PulseAudio's thread.
class X11Stream final : public CaptureStream {
  public:
    X11Stream(const ContentFilter& filter, const StreamConfiguration& config,
              std::weak_ptr<StreamListener> listener, Media& media, Executor& completions)
        : filter_(filter),
          config_(config),
          listener_(std::move(listener)),
          media_(media),
          completions_(completions) {}
    ~X11Stream() override { stop(); }

    MaybeError addStreamOutput(OutputType type) override {
        if (type == OutputType::Audio) {
            auto opened = PulseAudioCapture::open(config_.sampleRate, config_.channelCount,
                                                  [&media = media_] { return media.hostTime(); });
            if (const Error* error = std::get_if<Error>(&opened)) {
                return *error;
            }
            std::shared_ptr<PulseAudioCapture> audio =
                std::move(std::get<std::unique_ptr<PulseAudioCapture>>(opened));
            std::lock_guard<std::mutex> lock(audioMutex_);
            std::swap(audio_, audio);
        }
        thread_.addOutput(type);
        return std::nullopt;
    }

    void removeStreamOutput(OutputType type) override {
        thread_.removeOutput(type);
        if (type == OutputType::Audio) {
            takeAudio().reset();
        }
    }

    void startCapture(std::function<void(MaybeError)> completion) override {
        auto opened = X11Capture::open(filter_, config_);
        if (const Error* error = std::get_if<Error>(&opened)) {
            completions_.async(
                [completion = std::move(completion), error = *error] { completion(error); });
            return;
        }
        // A running capture keeps its listener alive.
        const std::shared_ptr<StreamListener> listener = listener_.lock();
        std::shared_ptr<PulseAudioCapture> audio;
        {
            std::lock_guard<std::mutex> lock(audioMutex_);
            audio = audio_;
        }
        // Started outside the lock: audio delivery runs with the audio thread's own lock held.
        // Sound first, so that the first picture is taken once sound flows.
        if (audio) {
            audio->start(
                [this, listener](std::shared_ptr<const AudioBlock> block, MediaTime pts) {
                    const auto frames = static_cast<int64_t>(block->interleaved.size()) /
                                        std::max(block->channels, 1);
                    const MediaTime duration = MediaTime::make(frames, block->sampleRate);
                    deliver(*listener,
                            std::make_shared<LinuxSample>(nullptr, std::move(block),
                                                          SampleTiming{duration, pts, pts}),
                            OutputType::Audio);
                },
                // Told to the capture thread, which ends the take at its next picture: the
                // audio thread cannot tear down its own connection.
                [this](const Error& error) {
                    std::lock_guard<std::mutex> lock(audioMutex_);
                    audioLost_ = error;
                });
        }
        // The X connection goes with the thread's body when the thread ends.
        thread_.start([this, listener,
                       capture = std::shared_ptr<X11Capture>(std::move(std::get<0>(opened)))] {
            run(listener, *capture);
        });
        completions_.async([completion = std::move(completion)] { completion(std::nullopt); });
    }

    // Stops on the completion queue, so that it may be asked from a sample delivery (which
    // runs on the capture or the audio thread). The completion holds the stream until then.
    void stopCapture(std::function<void(MaybeError)> completion) override {
        completions_.async([this, completion = std::move(completion)] {
            stop();
            completion(std::nullopt);
        });
    }

  private:
    void deliver(StreamListener& listener, const std::shared_ptr<Sample>& sample, OutputType type) {
        if (thread_.wants(type)) {
            listener.streamDidOutputSample(sample, type);
        }
    }

    MaybeError audioLost() {
        std::lock_guard<std::mutex> lock(audioMutex_);
        return audioLost_;
    }

    std::shared_ptr<PulseAudioCapture> takeAudio() {
        std::lock_guard<std::mutex> lock(audioMutex_);
        return std::move(audio_);
    }

    void stop() {
        thread_.stop();
        takeAudio().reset();
    }

    void run(std::shared_ptr<StreamListener> listener, X11Capture& capture) {
        pthread_setname_np(pthread_self(), kThreadName);
        const MediaTime interval = config_.minimumFrameInterval;
        const auto period = std::chrono::nanoseconds(
            std::max<int64_t>(interval.value * 1'000'000'000 / std::max(interval.timescale, 1), 1));
        auto next = std::chrono::steady_clock::now();
        while (thread_.sleepUntil(next)) {
            // A take that loses its sound ends rather than going on silently video-only.
            if (MaybeError lost = audioLost()) {
                endUnexpectedly(std::move(listener), *lost);
                return;
            }
            const MediaTime pts = media_.hostTime();
            Captured captured = capture.capture();
            if (const Error* error = std::get_if<Error>(&captured)) {
                endUnexpectedly(std::move(listener), *error);
                return;
            }
            deliver(*listener,
                    std::make_shared<LinuxSample>(
                        std::get<std::shared_ptr<const VideoFrame>>(std::move(captured)), nullptr,
                        SampleTiming{interval, pts, MediaTime::invalid()}),
                    OutputType::Screen);
            // After a picture that took long, the next one is taken at once, then the pace
            // goes on from there: no tick is lost and none are caught up in a burst.
            next = std::max(next + period, std::chrono::steady_clock::now());
        }
    }

    // The display or the window went away: samples stop and the listener hears of it on the
    // completion queue.
    void endUnexpectedly(std::shared_ptr<StreamListener> listener, const Error& error) {
        thread_.end();
        takeAudio().reset();
        completions_.async(
            [listener = std::move(listener), error] { listener->streamDidStopWithError(error); });
    }

    const ContentFilter filter_;
    const StreamConfiguration config_;
    const std::weak_ptr<StreamListener> listener_;
    Media& media_;
    Executor& completions_;
    std::mutex audioMutex_;
    std::shared_ptr<PulseAudioCapture> audio_;
    MaybeError audioLost_;
    CaptureThread thread_;
};

class X11Source final : public CaptureSource {
  public:
    ContentResult shareableContent() override {
        XConnection x;
        if (!x.usable()) {
            return {std::nullopt, x11Error(kCodeNoDisplay, kMessageNoDisplay)};
        }
        ShareableContent content;
        content.xwaylandWindowsOnly =
            platform_linux::currentSessionKind() == platform_linux::SessionKind::wayland;
        for (const X11Display& display : queryDisplays(x)) {
            content.displays.push_back({display.id, display.rect.width, display.rect.height});
        }
        std::set<std::string> applications;
        const platform_linux::X11WindowEnumerator windows(x.get(), x.root());
        for (const platform_linux::X11Window& window : windows.onScreenWindows()) {
            if (!window.ordinary) {
                continue;
            }
            ContentWindow entry{window.id,
                                Rect{window.bounds.x, window.bounds.y, window.bounds.width,
                                     window.bounds.height, false},
                                window.title, std::nullopt};
            if (std::string path = executablePath(window.pid); !path.empty()) {
                entry.owningApplication = ContentApplication{path};
                if (applications.insert(path).second) {
                    content.applications.push_back({path});
                }
            }
            content.windows.push_back(std::move(entry));
        }
        if (x.broken()) {
            return {std::nullopt, x11Error(kCodeConnectionLost, kMessageConnectionLost)};
        }
        return {std::move(content), std::nullopt};
    }

    std::optional<DisplayMode> displayMode(uint32_t displayID) override {
        XConnection x;
        if (!x.usable()) {
            return std::nullopt;
        }
        const std::optional<X11Display> display = findDisplay(x, displayID);
        if (!display) {
            return std::nullopt;
        }
        // X reports no backing scale: a point is a pixel.
        const auto width = static_cast<uint64_t>(display->rect.width);
        return DisplayMode{width, static_cast<uint64_t>(display->rect.height), width};
    }

    std::optional<std::vector<uint32_t>> displaysWithPoint(double px, double py,
                                                           uint32_t maxDisplays) override {
        XConnection x;
        if (!x.usable()) {
            return std::nullopt;
        }
        std::vector<uint32_t> found;
        for (const X11Display& display : queryDisplays(x)) {
            if (found.size() < maxDisplays && display.rect.contains(px, py)) {
                found.push_back(display.id);
            }
        }
        return found;
    }

    // The RandR primary output, else the display at the origin, else the first.
    uint32_t mainDisplayID() override {
        XConnection x;
        if (!x.usable()) {
            return 0;
        }
        const std::vector<X11Display> displays = queryDisplays(x);
        if (displays.empty()) {
            return 0;
        }
        if (x.hasRandR()) {
            Reply<xcb_randr_get_output_primary_reply_t> primary(xcb_randr_get_output_primary_reply(
                x.get(), xcb_randr_get_output_primary(x.get(), x.root()), nullptr));
            for (const X11Display& display : displays) {
                if (primary && display.id == primary->output) {
                    return display.id;
                }
            }
        }
        for (const X11Display& display : displays) {
            if (display.rect.contains(0, 0)) {
                return display.id;
            }
        }
        return displays.front().id;
    }

    std::shared_ptr<CaptureStream> makeStream(const ContentFilter& filter,
                                              const StreamConfiguration& configuration,
                                              std::weak_ptr<StreamListener> listener, Media& media,
                                              Executor& completions) override {
        return std::make_shared<X11Stream>(filter, configuration, std::move(listener), media,
                                           completions);
    }
};

}  // namespace

std::unique_ptr<CaptureSource> MakeX11CaptureSource() {
    return std::make_unique<X11Source>();
}

}  // namespace filmstrip
