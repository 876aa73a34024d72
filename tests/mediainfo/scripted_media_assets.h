#pragma once
// Media assets scripted by a test: each path gives a chosen asset or a chosen
// platform error, optionally after a delay.

#include "platform/error.h"
#include "platform/media_asset.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class ScriptedMediaAssets final : public platform::MediaAssets {
public:
    void add(const std::string& path, platform::MediaAsset asset, std::chrono::milliseconds delay = {}) {
        std::lock_guard lock(mutex_);
        entries_[path] = {std::move(asset), std::nullopt, delay};
    }
    void fail(const std::string& path, platform::PlatformError error) {
        std::lock_guard lock(mutex_);
        entries_[path] = {{}, std::move(error), {}};
    }

    platform::MediaAsset load(const std::string& path) override {
        ++loads;
        Entry entry;
        {
            std::lock_guard lock(mutex_);  // guards entries_
            auto it = entries_.find(path);
            if (it == entries_.end())
                throw platform::PlatformError(platform::kMediaAssetErrorDomain, platform::mediaAssetCannotOpen,
                                              "Cannot Open (not scripted)");
            entry = it->second;
        }
        int now = ++inFlight;
        for (int seen = maxInFlight; now > seen && !maxInFlight.compare_exchange_weak(seen, now);) {
        }
        if (gatherAt > 0) {
            // Stands for a file that waits (on a disk, a deadline) until `gatherAt`
            // loads are waiting together, or a generous time has passed.
            std::unique_lock lock(mutex_);
            gathered_.notify_all();
            gathered_.wait_for(lock, std::chrono::seconds(30), [&] { return maxInFlight >= gatherAt; });
        }
        std::this_thread::sleep_for(entry.delay);
        --inFlight;
        if (entry.error) throw *entry.error;
        return entry.asset;
    }

    std::atomic<int> loads{0};
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};
    // When above 0, each load waits until this many loads are in flight at once.
    int gatherAt = 0;

private:
    struct Entry {
        platform::MediaAsset asset;
        std::optional<platform::PlatformError> error;
        std::chrono::milliseconds delay{};
    };
    std::mutex mutex_;  // guards entries_; with gathered_, the wait of gatherAt
    std::condition_variable gathered_;
    std::map<std::string, Entry> entries_;
};

// Builders for scripted tracks.
inline platform::MediaTime seconds(int64_t value, int32_t timescale) { return platform::MediaTime::make(value, timescale); }

inline platform::MediaTrack videoTrack(float fps = 30, double width = 1920, double height = 1080) {
    platform::MediaTrack track;
    track.mediaType = platform::MediaType::video;
    track.nominalFrameRate = fps;
    track.minFrameDuration = platform::MediaTime::make(20, 600);
    track.naturalSize = {width, height};
    track.estimatedDataRate = 1e6f;
    auto format = std::make_shared<platform::FormatDescription>();
    format->mediaType = platform::MediaType::video;
    format->mediaSubtype = platform::fourCharCode("avc1");
    format->extensions["Depth"] = int64_t{24};
    track.formatDescriptions.push_back(format);
    track.timeRange = {platform::MediaTime::make(0, 600), platform::MediaTime::make(6000, 600)};
    return track;
}

inline platform::MediaTrack audioTrack(double sampleRate = 48000, uint32_t channels = 2) {
    platform::MediaTrack track;
    track.mediaType = platform::MediaType::audio;
    track.estimatedDataRate = 128000.f;
    auto format = std::make_shared<platform::FormatDescription>();
    format->mediaType = platform::MediaType::audio;
    format->mediaSubtype = platform::fourCharCode("mp4a");
    platform::AudioStreamDescription stream;
    stream.sampleRate = sampleRate;
    stream.channelsPerFrame = channels;
    format->audio = stream;
    format->channelLayoutTag = 0x650002;
    track.formatDescriptions.push_back(format);
    track.timeRange = {platform::MediaTime::make(0, 48000), platform::MediaTime::make(480000, 48000)};
    return track;
}

inline platform::MediaAsset assetOf(platform::MediaTime duration, std::vector<platform::MediaTrack> tracks) {
    return {duration, std::move(tracks)};
}
