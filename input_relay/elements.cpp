#include "elements.h"

#include <cmath>

#include "failure.h"
#include "grapheme.h"
#include "parse.h"
#include "relay.h"

namespace input_relay {
namespace {

enum Attribute : std::size_t {
    ROLE,
    SUBROLE,
    TITLE,
    DESCRIPTION,
    PLACEHOLDER,
    VALUE,
    ENABLED,
    FOCUSED,
    POSITION,
    SIZE,
    CHILDREN,
};

bool intersects(const Rect& a, const Rect& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height &&
           b.y < a.y + a.height;
}

std::optional<bool> boolean(const AxValue& value) {
    if (const auto* number = std::get_if<AxNumber>(&value)) {
        if (const bool* flag = std::get_if<bool>(&number->value)) {
            return *flag;
        }
    }
    return std::nullopt;
}

Json numberJson(const AxNumber& number) {
    return std::visit([](auto n) { return Json{n}; }, number.value);
}

std::optional<std::string> stringValue(const AxValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
        return *text;
    }
    return std::nullopt;
}

ElementWalk walkOnce(Platform& platform, const WindowScope& scope, double deadline) {
    ElementWalk walk;
    walk.deadline = deadline;
    walkElements(platform, scope.accessibilityWindow, 0, std::nullopt, scope.bounds, walk);
    return walk;
}

}  // namespace

void printElements(Platform& platform, const WindowScope& scope) {
    Element application = platform.applicationElement(scope.pid);
    platform.setMessagingTimeout(application, MESSAGING_TIMEOUT_SECONDS);
    platform.setAttributeTrue(application, "AXEnhancedUserInterface");
    platform.setAttributeTrue(application, "AXManualAccessibility");
    const double deadline = platform.uptime() + WALK_SECONDS;
    ElementWalk walk = walkOnce(platform, scope, deadline);
    // The application may still be building its tree after the two attributes were set.
    for (int attempt = 1;
         attempt < WALK_ATTEMPTS && walk.elements.size() <= 1 && platform.uptime() < deadline;
         ++attempt) {
        platform.sleepMicroseconds(WALK_RETRY_US);
        walk = walkOnce(platform, scope, deadline);
    }
    JsonObject document = {{"elements", {std::move(walk.elements)}},
                           {"truncated", {walk.truncated}}};
    auto text = serialize({std::move(document)});
    if (!text) {
        fail(std::string(messages::ELEMENT_REPORT_UNENCODABLE));
    }
    platform.writeOutput(*text);
    platform.writeOutput("\n");
}

void walkElements(Platform& platform, const Element& element, std::int64_t depth,
                  std::optional<std::int64_t> parent, const Rect& within, ElementWalk& walk) {
    if (walk.elements.size() >= ELEMENT_LIMIT || walk.visited >= VISIT_LIMIT ||
        depth > DEPTH_LIMIT || platform.uptime() > walk.deadline) {
        walk.truncated = true;
        return;
    }
    ++walk.visited;
    platform.setMessagingTimeout(element, MESSAGING_TIMEOUT_SECONDS);
    const auto values = elementAttributes(platform, element);
    const std::string role = stringValue(values[ROLE]).value_or("");
    std::optional<std::string> label = elementText(values[TITLE]);
    if (!label) {
        label = elementText(values[DESCRIPTION]);
    }
    if (!label) {
        label = elementText(values[PLACEHOLDER]);
    }
    const auto frame = axRect(values[POSITION], values[SIZE]);
    std::optional<std::int64_t> childParent = parent;
    if (frame && frame->width > 0 && frame->height > 0 && intersects(*frame, within)) {
        const auto index = static_cast<std::int64_t>(walk.elements.size());
        JsonObject record = {
            {"index", {index}},
            {"role", {roleName(role, stringValue(values[SUBROLE]))}},
            {"label", {label.value_or("")}},
            {"frame", {rectJSON(*frame)}},
            {"enabled", {boolean(values[ENABLED]).value_or(true)}},
            {"focused", {boolean(values[FOCUSED]).value_or(false)}},
        };
        if (parent) {
            record.emplace_back("parent", Json{*parent});
        }
        if (role != "AXSecureTextField") {
            if (auto text = elementText(values[VALUE])) {
                record.emplace_back("value", Json{*text});
            } else if (role == "AXStaticText" && label) {
                record.emplace_back("value", Json{*label});
            } else if (const auto* number = std::get_if<AxNumber>(&values[VALUE])) {
                record.emplace_back("value", numberJson(*number));
            }
        }
        walk.elements.push_back({std::move(record)});
        childParent = index;
    }
    if (const auto* children = std::get_if<ElementList>(&values[CHILDREN])) {
        for (const Element& child : *children) {
            walkElements(platform, child, depth + 1, childParent, within, walk);
        }
    }
}

std::array<AxValue, ELEMENT_ATTRIBUTES.size()> elementAttributes(Platform& platform,
                                                                 const Element& element) {
    std::array<AxValue, ELEMENT_ATTRIBUTES.size()> result{};
    auto values = platform.copyAttributes(
        element,
        std::vector<std::string_view>(ELEMENT_ATTRIBUTES.begin(), ELEMENT_ATTRIBUTES.end()));
    if (!values || values->size() != result.size()) {
        return result;
    }
    for (std::size_t i = 0; i < result.size(); ++i) {
        if (!std::holds_alternative<AxError>((*values)[i])) {
            result[i] = std::move((*values)[i]);
        }
    }
    return result;
}

std::optional<std::string> elementText(const AxValue& value) {
    const auto* text = std::get_if<std::string>(&value);
    auto decoded = text ? decodeUtf8(*text) : std::nullopt;
    if (!decoded || decoded->empty()) {
        return std::nullopt;
    }
    std::u32string cut;
    auto clusters = graphemeClusters(*decoded);
    for (std::size_t i = 0; i < clusters.size() && i < TEXT_LENGTH; ++i) {
        cut += clusters[i];
    }
    return encodeUtf8(cut);
}

std::string roleName(const std::string& role, const std::optional<std::string>& subrole) {
    if (subrole == "AXTabButton") {
        return "tab";
    }
    if (subrole == "AXSearchField") {
        return "searchField";
    }
    if (subrole == "AXSwitch" || subrole == "AXToggle") {
        return "switch";
    }
    std::string name = role.starts_with("AX") ? role.substr(2) : role;
    if (!name.empty() && name[0] >= 'A' && name[0] <= 'Z') {
        name[0] = static_cast<char>(name[0] - 'A' + 'a');
    }
    return name;
}

JsonObject rectJSON(const Rect& rect) {
    auto rounded = [](double v) { return Json{truncatedInt64(std::round(v))}; };
    return {{"x", rounded(rect.x)},
            {"y", rounded(rect.y)},
            {"width", rounded(rect.width)},
            {"height", rounded(rect.height)}};
}

std::optional<Rect> axRect(const AxValue& position, const AxValue& size) {
    const auto* point = std::get_if<AxPoint>(&position);
    const auto* extent = std::get_if<AxSize>(&size);
    if (!point || !extent) {
        return std::nullopt;
    }
    Rect rect{point->point.x, point->point.y, extent->width, extent->height};
    if (!std::isfinite(rect.x) || !std::isfinite(rect.y) || !std::isfinite(rect.width) ||
        !std::isfinite(rect.height)) {
        return std::nullopt;
    }
    return rect;
}

}  // namespace input_relay
