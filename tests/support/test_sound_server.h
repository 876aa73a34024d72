#pragma once
// A private sound server of either kind Linux desktops run, laid out alike: the
// default sink kSpeakers, whose monitor is what "system audio" records, and the
// default source kMicrophone, the monitor of the null sink kMicrophoneSink through
// a remap source, so that it is listed as a microphone and delivers in real time
// whatever tone is played into that sink.

#include "child_process.h"
#include "private_pipewire_server.h"
#include "private_servers.h"
#include "temporary_directory.h"

#include <memory>
#include <string>

namespace test_support {

enum class SoundServerKind { pulseAudio, pipeWire };

// "PulseAudio" or "PipeWire", for test names.
std::string soundServerName(SoundServerKind kind);

class TestSoundServer {
public:
    static constexpr const char* kSpeakers = "test_speakers";
    static constexpr const char* kMicrophoneSink = "test_microphone_sink";
    static constexpr const char* kMicrophone = "test_microphone";

    // Sets PULSE_SERVER while it lives; check started().
    explicit TestSoundServer(SoundServerKind kind);
    ~TestSoundServer();
    TestSoundServer(const TestSoundServer&) = delete;
    TestSoundServer& operator=(const TestSoundServer&) = delete;

    bool started() const { return started_; }
    SoundServerKind kind() const { return kind_; }

    // pactl with these arguments against this server; whether it succeeded.
    bool pactl(const std::vector<std::string>& arguments) const;
    // Plays a sine tone at half of full scale (float32, 48 kHz, stereo) into the sink for
    // `seconds`, a quarter of a second ahead of the sink, so a busy machine does not
    // starve it.
    ChildProcess playTone(const std::string& sink, double frequency, double seconds);

private:
    bool layOut();

    SoundServerKind kind_;
    std::unique_ptr<PrivatePulseServer> pulse_;
    std::unique_ptr<PrivatePipeWireServer> pipeWire_;
    TemporaryDirectory folder_;
    bool started_ = false;
};

} // namespace test_support
