#include "x11_accessibility.h"

#include <utility>

namespace input_relay {
namespace {

struct States {
    AtspiStateSet* set;
    explicit States(AtspiAccessible* a) : set(atspi_accessible_get_state_set(a)) {}
    States(const States&) = delete;
    States& operator=(const States&) = delete;
    ~States() {
        if (set != nullptr) {
            g_object_unref(set);
        }
    }
    AxValue flag(AtspiStateType state) const {
        if (set == nullptr) {
            return AxError{};
        }
        return AxNumber{static_cast<bool>(atspi_state_set_contains(set, state))};
    }
};

AxValue stringOrError(std::optional<std::string> text) {
    if (!text || text->empty()) {
        return AxError{};
    }
    return std::move(*text);
}

std::optional<std::string> placeholder(AtspiAccessible* a) {
    GError* error = nullptr;
    GHashTable* attributes = atspi_accessible_get_attributes(a, &error);
    if (failed(error) || attributes == nullptr) {
        return std::nullopt;
    }
    std::optional<std::string> text;
    if (auto* value =
            static_cast<const char*>(g_hash_table_lookup(attributes, "placeholder-text"))) {
        text = value;
    }
    g_hash_table_unref(attributes);
    return text;
}

std::optional<std::string> textContent(AtspiAccessible* a) {
    AtspiText* text = atspi_accessible_get_text_iface(a);
    if (text == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const int count = atspi_text_get_character_count(text, &error);
    std::optional<std::string> result;
    if (!failed(error)) {
        result = takeString(atspi_text_get_text(text, 0, count, &error), error);
    }
    g_object_unref(text);
    return result;
}

std::optional<double> currentValue(AtspiAccessible* a) {
    AtspiValue* value = atspi_accessible_get_value_iface(a);
    if (value == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    const double current = atspi_value_get_current_value(value, &error);
    g_object_unref(value);
    if (failed(error)) {
        return std::nullopt;
    }
    return current;
}

// The value an element shows: the text of text roles, the checked state of toggles as 0 or 1,
// the current number of ranges. A password field's text is never read.
AxValue elementValue(AtspiAccessible* a, AtspiRole role, const States& states) {
    switch (role) {
        case ATSPI_ROLE_PASSWORD_TEXT:
            return AxError{};
        case ATSPI_ROLE_ENTRY:
        case ATSPI_ROLE_TEXT:
        case ATSPI_ROLE_LABEL:
        case ATSPI_ROLE_STATIC:
            return stringOrError(textContent(a));
        case ATSPI_ROLE_CHECK_BOX:
        case ATSPI_ROLE_RADIO_BUTTON:
        case ATSPI_ROLE_TOGGLE_BUTTON:
        case ATSPI_ROLE_CHECK_MENU_ITEM:
        case ATSPI_ROLE_RADIO_MENU_ITEM:
            if (states.set == nullptr) {
                return AxError{};
            }
            return AxNumber{
                std::int64_t{atspi_state_set_contains(states.set, ATSPI_STATE_CHECKED) ? 1 : 0}};
        default:
            if (auto number = currentValue(a)) {
                return AxNumber{*number};
            }
            return AxError{};
    }
}

// The role and subrole names the report speaks. A password field is a secure text field in
// its own right, so that its text can never reach the report; toolkits call single-line text
// fields plain text.
std::pair<std::string, std::optional<std::string>> roleNames(AtspiRole role, const States& states) {
    auto names = platform_linux::axRoleForAtspiRole(role);
    if (role == ATSPI_ROLE_PASSWORD_TEXT) {
        return {std::string(names.subrole), std::nullopt};
    }
    if (role == ATSPI_ROLE_TEXT && states.set != nullptr &&
        atspi_state_set_contains(states.set, ATSPI_STATE_SINGLE_LINE)) {
        names = platform_linux::axRoleForAtspiRole(ATSPI_ROLE_ENTRY);
    }
    std::optional<std::string> subrole;
    if (!names.subrole.empty()) {
        subrole = std::string(names.subrole);
    }
    return {std::string(names.role), subrole};
}

AxValue attributeValue(AtspiAccessible* a, std::string_view attribute, const std::string& roleName,
                       const std::optional<std::string>& subrole, AtspiRole role,
                       const States& states, const std::optional<Rect>& extents) {
    GError* error = nullptr;
    if (attribute == "AXRole") {
        return roleName;
    }
    if (attribute == "AXSubrole") {
        return subrole ? AxValue{*subrole} : AxValue{AxError{}};
    }
    if (attribute == "AXTitle") {
        return stringOrError(takeString(atspi_accessible_get_name(a, &error), error));
    }
    if (attribute == "AXDescription") {
        return stringOrError(takeString(atspi_accessible_get_description(a, &error), error));
    }
    if (attribute == "AXPlaceholderValue") {
        return stringOrError(placeholder(a));
    }
    if (attribute == "AXValue") {
        return elementValue(a, role, states);
    }
    if (attribute == "AXEnabled") {
        return states.flag(ATSPI_STATE_ENABLED);
    }
    if (attribute == "AXFocused") {
        return states.flag(ATSPI_STATE_FOCUSED);
    }
    if (attribute == "AXPosition" && extents) {
        return AxPoint{{extents->x, extents->y}};
    }
    if (attribute == "AXSize" && extents) {
        return AxSize{extents->width, extents->height};
    }
    if (attribute == "AXChildren") {
        if (auto list = children(a)) {
            return std::move(*list);
        }
    }
    return AxError{};
}

// A web document the browser keeps loaded but does not show (Firefox's preloaded new-tab page).
bool hiddenDocument(AtspiAccessible* a) {
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(a, &error);
    if (failed(error) || role != ATSPI_ROLE_DOCUMENT_WEB) {
        return false;
    }
    const States states(a);
    return states.set != nullptr && !atspi_state_set_contains(states.set, ATSPI_STATE_SHOWING);
}

}  // namespace

AtspiAccessible* accessible(const Element& element) {
    const auto* own = dynamic_cast<const AtspiAxElement*>(element.get());
    return own ? own->get() : nullptr;
}

bool failed(GError*& error) {
    if (error == nullptr) {
        return false;
    }
    g_error_free(error);
    error = nullptr;
    return true;
}

std::optional<std::string> takeString(gchar* text, GError*& error) {
    if (failed(error) || text == nullptr) {
        g_free(text);
        return std::nullopt;
    }
    std::string result(text);
    g_free(text);
    return result;
}

std::optional<ElementList> children(AtspiAccessible* parent) {
    GError* error = nullptr;
    const int count = atspi_accessible_get_child_count(parent, &error);
    if (failed(error)) {
        return std::nullopt;
    }
    ElementList list;
    for (int i = 0; i < count; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(parent, i, &error);
        if (failed(error)) {
            return std::nullopt;
        }
        auto element = std::make_shared<AtspiAxElement>(child);
        if (child != nullptr && !hiddenDocument(child)) {
            list.push_back(std::move(element));
        }
    }
    return list;
}

std::optional<Rect> screenExtents(AtspiAccessible* a) {
    AtspiComponent* component = atspi_accessible_get_component_iface(a);
    if (component == nullptr) {
        return std::nullopt;
    }
    GError* error = nullptr;
    AtspiRect* extents = atspi_component_get_extents(component, ATSPI_COORD_TYPE_SCREEN, &error);
    g_object_unref(component);
    if (failed(error) || extents == nullptr) {
        return std::nullopt;
    }
    Rect rect{double(extents->x), double(extents->y), double(extents->width),
              double(extents->height)};
    g_free(extents);
    return rect;
}

std::optional<std::vector<AxValue>> readAttributes(AtspiAccessible* a,
                                                   const std::vector<std::string_view>& attributes,
                                                   const std::optional<Rect>& extents) {
    GError* error = nullptr;
    const AtspiRole role = atspi_accessible_get_role(a, &error);
    if (failed(error)) {
        return std::nullopt;
    }
    const States states(a);
    auto [roleName, subrole] = roleNames(role, states);
    std::vector<AxValue> values;
    for (std::string_view attribute : attributes) {
        values.push_back(attributeValue(a, attribute, roleName, subrole, role, states, extents));
    }
    return values;
}

}  // namespace input_relay
