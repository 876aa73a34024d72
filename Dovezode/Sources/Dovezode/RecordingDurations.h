#pragma once
// Lengths of the current files of a paused or stopped recording, in whole
// milliseconds; a field is absent when its file never started or measured
// nothing positive.

#include <cstdint>
#include <optional>

namespace Dovezode {

class RecordingDurations {
public:
    RecordingDurations(std::optional<uint64_t> screen, std::optional<uint64_t> mic, std::optional<uint64_t> sys,
                       std::optional<uint64_t> cam)
        : screen_(screen), mic_(mic), sys_(sys), cam_(cam) {}

    std::optional<uint64_t> screen() const { return screen_; }  // main file
    std::optional<uint64_t> mic() const { return mic_; }        // microphone file
    std::optional<uint64_t> sys() const { return sys_; }        // system-audio file
    std::optional<uint64_t> cam() const { return cam_; }        // webcam file

private:
    std::optional<uint64_t> screen_;
    std::optional<uint64_t> mic_;
    std::optional<uint64_t> sys_;
    std::optional<uint64_t> cam_;
};

} // namespace Dovezode
