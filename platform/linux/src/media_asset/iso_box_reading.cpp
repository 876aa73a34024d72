#include "media_asset/iso_box_reading.h"

#include <algorithm>

namespace platform::linux_backend {

std::optional<BoxHeader> readBoxHeader(const uint8_t* bytes, size_t available, uint64_t rest) {
    if (available < 8) return std::nullopt;
    BoxHeader header{be32(bytes + 4), be32(bytes), 8};
    if (header.size == 1) {
        if (available < 16) return std::nullopt;
        header.size = be64(bytes + 8);
        header.length = 16;
    } else if (header.size == 0) {
        header.size = rest;
    }
    if (header.size < header.length) return std::nullopt;
    return header;
}

std::optional<BoxSpan> child(BoxSpan parent, uint32_t type) {
    size_t at = 0;
    while (at + 8 <= parent.size) {
        size_t rest = parent.size - at;
        auto header = readBoxHeader(parent.payload + at, rest, rest);
        if (!header) return std::nullopt;
        size_t size = static_cast<size_t>(std::min<uint64_t>(header->size, rest));
        if (header->type == type) return BoxSpan{parent.payload + at + header->length, size - header->length};
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
