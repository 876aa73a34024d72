#pragma once
// Video encoding of the main and webcam files.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace Dovezode {

class VideoCodec {
public:
    enum Case : uint8_t { h264, hevc, proRes422, proRes4444 };

    constexpr VideoCodec(Case value) : value_(value) {}
    // Compares, switches and hashes by case.
    constexpr operator Case() const { return value_; }

    // The case whose name is exactly `name` ("h264", "hevc", "proRes422",
    // "proRes4444"); throws Error of kind unsupportedVideoCodec for anything else.
    static VideoCodec fromRawValue(std::string_view name);

    // The case's name, as the textual form of a value writes it.
    std::string_view caseName() const;

private:
    Case value_;
};

} // namespace Dovezode

template <>
struct std::hash<Dovezode::VideoCodec> {
    std::size_t operator()(Dovezode::VideoCodec codec) const noexcept {
        return std::hash<int>{}(static_cast<Dovezode::VideoCodec::Case>(codec));
    }
};
