#include "media_asset/iso_box_reading.h"

#include <algorithm>

namespace platform::linux_backend {

std::optional<BoxSpan> child(BoxSpan parent, uint32_t type) {
    size_t at = 0;
    while (at + 8 <= parent.size) {
        uint64_t size = be32(parent.payload + at);
        size_t header = 8;
        if (size == 1) {
            if (at + 16 > parent.size) return std::nullopt;
            size = be64(parent.payload + at + 8);
            header = 16;
        } else if (size == 0) {
            size = parent.size - at;
        }
        if (size < header) return std::nullopt;
        size = std::min<uint64_t>(size, parent.size - at);
        if (be32(parent.payload + at + 4) == type) return BoxSpan{parent.payload + at + header, size - header};
        at += size;
    }
    return std::nullopt;
}

std::optional<BoxSpan> descendant(BoxSpan box, std::initializer_list<uint32_t> path) {
    std::optional<BoxSpan> found = box;
    for (uint32_t type : path)
        if (!(found = child(*found, type))) break;
    return found;
}

} // namespace platform::linux_backend
