#pragma once
// Reading ISO base media boxes (mp4, mov) from bytes in memory: big-endian
// fields, box types, and a box's children found as the demuxer walks them.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>

namespace platform::linux_backend {

constexpr uint32_t fourcc(const char (&name)[5]) {
    return uint32_t{static_cast<uint8_t>(name[0])} << 24 | uint32_t{static_cast<uint8_t>(name[1])} << 16 |
           uint32_t{static_cast<uint8_t>(name[2])} << 8 | uint32_t{static_cast<uint8_t>(name[3])};
}

inline uint32_t be32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | uint32_t{bytes[3]};
}

inline uint64_t be64(const uint8_t* bytes) { return uint64_t{be32(bytes)} << 32 | be32(bytes + 4); }

// A box's payload, or any run of bytes read as boxes.
struct BoxSpan {
    const uint8_t* payload;
    size_t size;
};

// A box's header: its type, its whole size and the header's own length.
struct BoxHeader {
    uint32_t type;
    uint64_t size;
    size_t length;
};

// The header at `bytes`, of which `available` are present; `rest`, the bytes from
// the box to the end of what holds it, is its size when the header says 0. None when
// the header is not all there or states a size smaller than itself.
std::optional<BoxHeader> readBoxHeader(const uint8_t* bytes, size_t available, uint64_t rest);

// The first direct child of the given type, walking the children one after the
// other as the demuxer does (a child running past its parent ends there).
std::optional<BoxSpan> child(BoxSpan parent, uint32_t type);

// The box at the end of a path of direct children.
std::optional<BoxSpan> descendant(BoxSpan box, std::initializer_list<uint32_t> path);

// Every box of the type anywhere in the bytes, nested or not, with what follows
// its type as its payload.
template <typename Visit>
void forEachMatch(BoxSpan bytes, uint32_t type, Visit visit) {
    for (size_t at = 0; at + 8 <= bytes.size; ++at)
        if (be32(bytes.payload + at + 4) == type) visit(BoxSpan{bytes.payload + at + 8, bytes.size - at - 8});
}

} // namespace platform::linux_backend
