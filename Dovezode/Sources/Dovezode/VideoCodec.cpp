#include "Dovezode/VideoCodec.h"

#include "Dovezode/Error.h"

#include <array>

namespace Dovezode {
namespace {

constexpr std::array<std::string_view, 4> kNames = {"h264", "hevc", "proRes422", "proRes4444"};

} // namespace

VideoCodec VideoCodec::fromRawValue(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name) return static_cast<Case>(i);
    }
    throw Error::unsupportedVideoCodec();
}

std::string_view VideoCodec::caseName() const { return kNames.at(value_); }

} // namespace Dovezode
