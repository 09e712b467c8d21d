#include "x11_windows.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <unordered_map>

namespace platform_linux {
namespace {

constexpr const char* kAtomNames[X11WindowEnumerator::kAtomCount] = {
    "_NET_CLIENT_LIST",
    "WM_NAME",
    "_NET_WM_NAME",
    "_NET_WM_PID",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL",
    "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_STATE",
    "_NET_WM_STATE_ABOVE",
    "_NET_WM_DESKTOP",
    "_NET_CURRENT_DESKTOP",
    "_NET_FRAME_EXTENTS",
    "_NET_ACTIVE_WINDOW",
    "_NET_SUPPORTING_WM_CHECK",
    "UTF8_STRING",
    "WM_STATE",
};

// Long enough for any sensible title, short enough to keep one reply small.
constexpr uint32_t kPropertyLongs = 2048;
// Frames nest clients a level or two deep; anything deeper is not a frame.
constexpr int kFrameDepthLimit = 4;
constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

using PropertyReply = XcbReply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t requestProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t atom) {
    return xcb_get_property(c, 0, w, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, kPropertyLongs);
}

PropertyReply takeProperty(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    PropertyReply reply(xcb_get_property_reply(c, cookie, nullptr));
    if (reply && reply->type == XCB_ATOM_NONE) {
        reply.reset();
    }
    return reply;
}

std::vector<uint32_t> cardinals(const PropertyReply& reply) {
    if (!reply || reply->format != 32) {
        return {};
    }
    const auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    return {values, values + xcb_get_property_value_length(reply.get()) / 4};
}

std::optional<uint32_t> firstCardinal(const PropertyReply& reply) {
    auto values = cardinals(reply);
    if (values.empty()) {
        return std::nullopt;
    }
    return values.front();
}

std::string latin1ToUtf8(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> textProperty(const PropertyReply& reply, xcb_atom_t utf8) {
    if (!reply || reply->format != 8) {
        return std::nullopt;
    }
    std::string_view bytes(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           static_cast<size_t>(xcb_get_property_value_length(reply.get())));
    // STRING is Latin-1; UTF8_STRING and anything else are passed on as they are.
    return reply->type == XCB_ATOM_STRING && utf8 != XCB_ATOM_STRING ? latin1ToUtf8(bytes)
                                                                     : std::string(bytes);
}

// The root child that holds each managed client: the client itself, or the window manager's
// frame around it. One round trip per level of nesting.
std::unordered_map<xcb_window_t, xcb_window_t> clientsByTopLevel(
    xcb_connection_t* c, xcb_window_t root, const std::vector<uint32_t>& clients) {
    std::unordered_map<xcb_window_t, xcb_window_t> result;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> pending;  // client, window to climb from
    for (uint32_t client : clients) {
        pending.emplace_back(client, client);
    }
    for (int depth = 0; depth < kFrameDepthLimit && !pending.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> cookies;
        for (const auto& [client, window] : pending) {
            cookies.push_back(xcb_query_tree(c, window));
        }
        std::vector<std::pair<xcb_window_t, xcb_window_t>> next;
        for (size_t i = 0; i < pending.size(); ++i) {
            XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, cookies[i], nullptr));
            if (!tree) {
                continue;  // destroyed meanwhile
            }
            if (tree->parent == root) {
                result.emplace(pending[i].second, pending[i].first);
            } else {
                next.emplace_back(pending[i].first, tree->parent);
            }
        }
        pending = std::move(next);
    }
    return result;
}

// The client inside each root child, for a window manager that keeps no client list (weston's
// X window manager): per ICCCM the client is the window the manager gave a WM_STATE, the root
// child itself or a window inside its frame. Root children with none are the manager's own.
// One round trip per level of nesting.
std::unordered_map<xcb_window_t, xcb_window_t> clientsByWmState(
    xcb_connection_t* c, const std::vector<xcb_window_t>& topLevels, xcb_atom_t wmState) {
    std::unordered_map<xcb_window_t, xcb_window_t> result;
    std::vector<std::pair<xcb_window_t, xcb_window_t>> pending;  // top level, window inside it
    for (xcb_window_t topLevel : topLevels) {
        pending.emplace_back(topLevel, topLevel);
    }
    for (int depth = 0; depth < kFrameDepthLimit && !pending.empty(); ++depth) {
        std::vector<std::pair<xcb_get_property_cookie_t, xcb_query_tree_cookie_t>> cookies;
        for (const auto& [topLevel, window] : pending) {
            cookies.emplace_back(requestProperty(c, window, wmState), xcb_query_tree(c, window));
        }
        std::vector<std::pair<xcb_window_t, xcb_window_t>> next;
        for (size_t i = 0; i < pending.size(); ++i) {
            const PropertyReply state = takeProperty(c, cookies[i].first);
            XcbReply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(c, cookies[i].second, nullptr));
            const xcb_window_t topLevel = pending[i].first;
            if (state) {
                result.emplace(topLevel, pending[i].second);
            } else if (tree) {
                const xcb_window_t* kids = xcb_query_tree_children(tree.get());
                for (int k = 0; k < xcb_query_tree_children_length(tree.get()); ++k) {
                    next.emplace_back(topLevel, kids[k]);
                }
            }
        }
        std::erase_if(next, [&](const auto& entry) { return result.contains(entry.first); });
        pending = std::move(next);
    }
    return result;
}

struct Candidate {
    xcb_window_t client;
    bool overrideRedirect;
};

struct ClientRequests {
    xcb_get_property_cookie_t netName, name, pid, type, state, desktop, extents;
    xcb_get_geometry_cookie_t geometry;
    xcb_translate_coordinates_cookie_t origin;
};

}  // namespace

X11WindowEnumerator::X11WindowEnumerator(xcb_connection_t* connection, xcb_window_t root)
    : connection_(connection), root_(root) {
    std::array<xcb_intern_atom_cookie_t, kAtomCount> cookies;
    for (int i = 0; i < kAtomCount; ++i) {
        cookies[i] = xcb_intern_atom(
            connection_, 0, static_cast<uint16_t>(std::strlen(kAtomNames[i])), kAtomNames[i]);
    }
    for (int i = 0; i < kAtomCount; ++i) {
        XcbReply<xcb_intern_atom_reply_t> reply(
            xcb_intern_atom_reply(connection_, cookies[i], nullptr));
        atoms_[i] = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    }
}

bool X11WindowEnumerator::windowManagerRunning() const {
    auto check = firstCardinal(takeProperty(
        connection_, requestProperty(connection_, root_, atom(kNetSupportingWmCheck))));
    if (!check) {
        return false;
    }
    // A stale check window left by a window manager that died no longer names itself.
    auto self = firstCardinal(takeProperty(
        connection_, requestProperty(connection_, *check, atom(kNetSupportingWmCheck))));
    return self == check;
}

std::vector<X11Window> X11WindowEnumerator::onScreenWindows() const {
    xcb_connection_t* c = connection_;
    if (xcb_connection_has_error(c)) {
        return {};
    }
    // Everything that does not depend on an earlier answer goes out before any is awaited.
    auto treeCookie = xcb_query_tree(c, root_);
    auto desktopCookie = requestProperty(c, root_, atom(kNetCurrentDesktop));
    auto clientsCookie = requestProperty(c, root_, atom(kNetClientList));
    auto checkCookie = requestProperty(c, root_, atom(kNetSupportingWmCheck));
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, treeCookie, nullptr));
    const auto currentDesktop = firstCardinal(takeProperty(c, desktopCookie));
    const auto clients = cardinals(takeProperty(c, clientsCookie));
    const auto check = firstCardinal(takeProperty(c, checkCookie));
    if (!tree) {
        return {};
    }
    std::optional<xcb_get_property_cookie_t> selfCheckCookie;
    if (check) {
        selfCheckCookie = requestProperty(c, *check, atom(kNetSupportingWmCheck));
    }

    // Children come bottom to top; walk them top to bottom.
    const xcb_window_t* kids = xcb_query_tree_children(tree.get());
    std::vector<xcb_window_t> topLevels(kids, kids + xcb_query_tree_children_length(tree.get()));
    std::reverse(topLevels.begin(), topLevels.end());
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
    for (xcb_window_t w : topLevels) {
        attributeCookies.push_back(xcb_get_window_attributes(c, w));
    }
    std::unordered_map<xcb_window_t, xcb_window_t> managedClients;
    if (check) {
        managedClients = clients.empty() ? clientsByWmState(c, topLevels, atom(kWmState))
                                         : clientsByTopLevel(c, root_, clients);
    }
    // A check window left by a window manager that died no longer names itself.
    const bool managed =
        selfCheckCookie && firstCardinal(takeProperty(c, *selfCheckCookie)) == check;
    if (!managed) {
        managedClients.clear();
    }

    // Under a window manager a root child is a managed client (or its frame) or an
    // override-redirect window; anything else is the window manager's own.
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < topLevels.size(); ++i) {
        XcbReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, attributeCookies[i], nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
            attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
            continue;
        }
        const bool overrideRedirect = attributes->override_redirect != 0;
        auto client = managedClients.find(topLevels[i]);
        if (client != managedClients.end()) {
            candidates.push_back({client->second, overrideRedirect});
        } else if (overrideRedirect || !managed) {
            candidates.push_back({topLevels[i], overrideRedirect});
        }
    }

    std::vector<ClientRequests> requests;
    for (const Candidate& k : candidates) {
        const xcb_window_t w = k.client;
        requests.push_back(
            {requestProperty(c, w, atom(kNetWmName)), requestProperty(c, w, atom(kWmName)),
             requestProperty(c, w, atom(kNetWmPid)), requestProperty(c, w, atom(kNetWmWindowType)),
             requestProperty(c, w, atom(kNetWmState)), requestProperty(c, w, atom(kNetWmDesktop)),
             requestProperty(c, w, atom(kNetFrameExtents)), xcb_get_geometry(c, w),
             xcb_translate_coordinates(c, w, root_, 0, 0)});
    }

    std::vector<X11Window> windows;
    std::unordered_map<pid_t, std::string> ownerNames;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const ClientRequests& r = requests[i];
        auto netName = textProperty(takeProperty(c, r.netName), atom(kUtf8String));
        auto name = textProperty(takeProperty(c, r.name), atom(kUtf8String));
        auto pid = firstCardinal(takeProperty(c, r.pid));
        auto types = cardinals(takeProperty(c, r.type));
        auto states = cardinals(takeProperty(c, r.state));
        auto desktop = firstCardinal(takeProperty(c, r.desktop));
        auto extents = cardinals(takeProperty(c, r.extents));
        XcbReply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, r.geometry, nullptr));
        XcbReply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(c, r.origin, nullptr));
        if (!geometry || !origin) {
            continue;  // destroyed while we looked
        }
        if (currentDesktop && desktop && *desktop != kAllDesktops && *desktop != *currentDesktop) {
            continue;
        }

        X11Window window;
        window.id = candidates[i].client;
        window.pid = static_cast<pid_t>(pid.value_or(0));
        window.title = netName ? *netName : name.value_or("");
        if (window.pid > 0) {
            auto known = ownerNames.find(window.pid);
            if (known == ownerNames.end()) {
                known = ownerNames.emplace(window.pid, processName(window.pid)).first;
            }
            window.ownerName = known->second;
        }
        const double border = geometry->border_width;
        window.bounds = {origin->dst_x - border, origin->dst_y - border,
                         geometry->width + 2 * border, geometry->height + 2 * border};
        if (extents.size() == 4) {  // left, right, top, bottom
            window.bounds.x -= extents[0];
            window.bounds.y -= extents[2];
            window.bounds.width += extents[0] + extents[1];
            window.bounds.height += extents[2] + extents[3];
        }
        // Per EWMH, a window without a type is normal (or a dialog when transient).
        const bool ordinaryType = types.empty() || types.front() == atom(kNetWmWindowTypeNormal) ||
                                  types.front() == atom(kNetWmWindowTypeDialog);
        const bool keptAbove =
            std::find(states.begin(), states.end(), atom(kNetWmStateAbove)) != states.end();
        window.ordinary = ordinaryType && !keptAbove && !candidates[i].overrideRedirect;
        windows.push_back(std::move(window));
    }
    return windows;
}

std::optional<xcb_window_t> X11WindowEnumerator::activeWindow() const {
    xcb_connection_t* c = connection_;
    if (xcb_connection_has_error(c)) {
        return std::nullopt;
    }
    if (windowManagerRunning()) {
        auto active =
            firstCardinal(takeProperty(c, requestProperty(c, root_, atom(kNetActiveWindow))));
        if (active && *active != XCB_WINDOW_NONE) {
            return *active;
        }
    }
    XcbReply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!focus || focus->focus == XCB_WINDOW_NONE || focus->focus == XCB_INPUT_FOCUS_POINTER_ROOT ||
        focus->focus == root_) {
        return std::nullopt;
    }
    return focus->focus;
}

std::optional<pid_t> X11WindowEnumerator::windowPid(xcb_window_t window) const {
    xcb_connection_t* c = connection_;
    while (window != XCB_WINDOW_NONE && window != root_ && !xcb_connection_has_error(c)) {
        auto pidCookie = requestProperty(c, window, atom(kNetWmPid));
        auto treeCookie = xcb_query_tree(c, window);
        auto pid = firstCardinal(takeProperty(c, pidCookie));
        XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, treeCookie, nullptr));
        if (pid) {
            return static_cast<pid_t>(*pid);
        }
        window = tree ? tree->parent : xcb_window_t{XCB_WINDOW_NONE};
    }
    return std::nullopt;
}

std::string processName(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    std::array<char, 4096> target{};
    const ssize_t length = readlink((dir + "/exe").c_str(), target.data(), target.size() - 1);
    if (length > 0) {
        std::string path(target.data(), static_cast<size_t>(length));
        constexpr std::string_view kDeleted = " (deleted)";
        if (path.ends_with(kDeleted)) {
            path.resize(path.size() - kDeleted.size());
        }
        return path.substr(path.rfind('/') + 1);
    }
    std::ifstream comm(dir + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace platform_linux
