#include "x11/edid.h"

#include <array>

namespace platform::linux_backend {
namespace {

constexpr std::array<uint8_t, 8> kHeader = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr size_t kBaseBlockSize = 128;
constexpr std::array<size_t, 4> kDescriptorOffsets = {54, 72, 90, 108};
constexpr uint8_t kProductNameTag = 0xFC;
constexpr size_t kDescriptorTextOffset = 5;
constexpr size_t kDescriptorTextLength = 13;

} // namespace

std::optional<std::string> edidProductName(const std::vector<uint8_t>& edid) {
    if (edid.size() < kBaseBlockSize) return std::nullopt;
    for (size_t i = 0; i < kHeader.size(); ++i) {
        if (edid[i] != kHeader[i]) return std::nullopt;
    }
    for (size_t offset : kDescriptorOffsets) {
        const uint8_t* descriptor = edid.data() + offset;
        // Display descriptors start with a zero pixel clock; timing descriptors do not.
        bool isDisplayDescriptor = descriptor[0] == 0 && descriptor[1] == 0 && descriptor[2] == 0;
        if (!isDisplayDescriptor || descriptor[3] != kProductNameTag) continue;
        std::string name;
        for (size_t i = 0; i < kDescriptorTextLength; ++i) {
            uint8_t c = descriptor[kDescriptorTextOffset + i];
            if (c == '\n' || c == 0) break;
            // The text is printable ASCII; anything else is dropped.
            if (c >= 0x20 && c < 0x7F) name += static_cast<char>(c);
        }
        while (!name.empty() && name.back() == ' ') name.pop_back();
        while (!name.empty() && name.front() == ' ') name.erase(name.begin());
        if (!name.empty()) return name;
    }
    return std::nullopt;
}

} // namespace platform::linux_backend
