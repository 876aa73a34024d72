#pragma once
// The monitor's own name from its EDID block.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linux_backend {

// The product name of the EDID's display descriptor (tag 0xFC); absent when the
// block is not an EDID, has no such descriptor or the name is blank.
std::optional<std::string> edidProductName(const std::vector<uint8_t>& edid);

} // namespace platform::linux_backend
