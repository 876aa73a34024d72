#include "platform/linux/atspi_accessibility.h"

#include <array>
#include <utility>

namespace platform::linux_backend {
namespace {

// AT-SPI role names (as atspi_role_get_name spells them) onto the role names the
// cursor table knows. Text entries give the text cursor, buttons, check boxes and
// radio buttons the pointing hand; the rest only matter for their descriptions.
constexpr std::array<std::pair<std::string_view, std::string_view>, 23> kRoles{{
    {"entry", "AXTextField"},
    {"password text", "AXTextField"},
    // A spin button is a number entry: its text takes the text cursor.
    {"spin button", "AXTextField"},
    {"text", "AXTextArea"},
    {"terminal", "AXTextArea"},
    {"push button", "AXButton"},
    {"toggle button", "AXButton"},
    {"check box", "AXCheckBox"},
    {"radio button", "AXRadioButton"},
    {"label", "AXStaticText"},
    {"static", "AXStaticText"},
    {"link", "AXLink"},
    {"image", "AXImage"},
    {"icon", "AXImage"},
    {"frame", "AXWindow"},
    {"window", "AXWindow"},
    {"dialog", "AXWindow"},
    {"panel", "AXGroup"},
    {"filler", "AXGroup"},
    {"menu item", "AXMenuItem"},
    {"slider", "AXSlider"},
    {"scroll bar", "AXScrollBar"},
    {"combo box", "AXComboBox"},
}};

} // namespace

std::optional<std::string> axRoleForAtspiRole(std::string_view atspiRoleName) {
    if (atspiRoleName.empty() || atspiRoleName == "invalid") return std::nullopt;
    for (const auto& [atspi, ax] : kRoles) {
        if (atspi == atspiRoleName) return std::string(ax);
    }
    return std::string("AXUnknown");
}

} // namespace platform::linux_backend
