#include "test_sound_server.h"

#include "eventually.h"

#include <cmath>
#include <fstream>

namespace test_support {

std::string soundServerName(SoundServerKind kind) {
    return kind == SoundServerKind::pulseAudio ? "PulseAudio" : "PipeWire";
}

TestSoundServer::TestSoundServer(SoundServerKind kind) : kind_(kind) {
    bool running = false;
    if (kind == SoundServerKind::pulseAudio) {
        pulse_ = std::make_unique<PrivatePulseServer>();
        running = pulse_->started();
    } else {
        pipeWire_ = std::make_unique<PrivatePipeWireServer>();
        running = pipeWire_->started();
    }
    started_ = running && layOut();
}

TestSoundServer::~TestSoundServer() = default;

bool TestSoundServer::pactl(const std::vector<std::string>& arguments) const {
    auto result = runToCompletion(PACTL_EXECUTABLE, arguments);
    return result.status == 0;
}

bool TestSoundServer::layOut() {
    // The server may take connections a moment before it serves them.
    if (!eventually([&] { return pactl({"info"}); }, std::chrono::milliseconds(20))) return false;
    const std::string floatFormat = " format=float32le rate=48000 channels=2";
    if (!pactl({"load-module", "module-null-sink", std::string("sink_name=") + kSpeakers + floatFormat}) ||
        !pactl({"load-module", "module-null-sink", std::string("sink_name=") + kMicrophoneSink + floatFormat}) ||
        !pactl({"load-module", "module-remap-source", std::string("source_name=") + kMicrophone,
                std::string("master=") + kMicrophoneSink + ".monitor"})) {
        return false;
    }
    // PipeWire's session manager takes the new defaults a moment after it is told them.
    return eventually([&] {
        if (!pactl({"set-default-sink", kSpeakers}) || !pactl({"set-default-source", kMicrophone})) return false;
        auto info = runToCompletion(PACTL_EXECUTABLE, {"info"}).standardOutput;
        return info.find(std::string("Default Sink: ") + kSpeakers + "\n") != std::string::npos &&
               info.find(std::string("Default Source: ") + kMicrophone + "\n") != std::string::npos;
    }, std::chrono::milliseconds(20));
}

ChildProcess TestSoundServer::playTone(const std::string& sink, double frequency, double seconds) {
    std::string path = folder_.file("tone-" + sink + "-" + std::to_string(int(frequency)) + ".raw");
    {
        std::ofstream file(path, std::ios::binary);
        const int frames = int(48000 * seconds);
        std::vector<float> samples(size_t(frames) * 2);
        for (int frame = 0; frame < frames; ++frame) {
            float value = 0.5f * float(std::sin(2 * M_PI * frequency * frame / 48000.0));
            samples[size_t(frame) * 2] = samples[size_t(frame) * 2 + 1] = value;
        }
        file.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
    }
    return ChildProcess::background({"pacat", "--playback", "--raw", "--format=float32le", "--rate=48000", "--channels=2",
                                     "--latency-msec=250", "--device=" + sink, path});
}

} // namespace test_support
