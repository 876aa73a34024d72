#pragma once
// The bounds one load reads a file within: a time budget, a byte budget, and a
// gate that lets only a few loads read much at the same time.

#include "media_asset/load_interrupt.h"
#include "platform/linux/ffmpeg_media_assets.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform::linux_backend {

// A counting gate: loads that read much of their file pass it a few at a time.
class HeavyLoadGate {
public:
    explicit HeavyLoadGate(unsigned slots) : free_(slots) {}

    // Takes a slot, waiting as long as it takes; returns how long it waited.
    LoadInterrupt::Clock::duration enter();
    void leave();

private:
    std::mutex mutex_;  // guards free_
    std::condition_variable freed_;
    unsigned free_;
};

// The file as libavformat reads it: through one descriptor, within the load's
// read budget and deadline. Nothing else is opened on the file's behalf.
class BudgetedFile {
public:
    // Takes the descriptor over; `storedBytes`: what the file holds on disk, less
    // than its size when it has holes.
    BudgetedFile(int descriptor, int64_t size, int64_t storedBytes, const MediaAssetLimits& limits,
                 HeavyLoadGate& gate, LoadInterrupt& interrupt)
        : descriptor_(descriptor), size_(size), storedBytes_(storedBytes), limits_(limits), gate_(gate),
          interrupt_(interrupt) {}
    ~BudgetedFile();
    BudgetedFile(const BudgetedFile&) = delete;
    BudgetedFile& operator=(const BudgetedFile&) = delete;

    // Whether the load has read all it may: what follows in the file was not seen.
    bool budgetSpent() const { return bytesRead_ >= limits_.readBudgetBytes; }

    int64_t size() const { return size_; }
    int64_t storedBytes() const { return std::min(size_, storedBytes_); }
    const MediaAssetLimits& limits() const { return limits_; }

    // A look at the file ahead of the demuxer: reads `size` bytes at `offset`
    // (fewer at the end of the file), outside the demuxer's position and budget.
    // -1 on a read error or once the load is late.
    int64_t peek(int64_t offset, uint8_t* buffer, size_t size);
    // Makes this a heavy load, taking a slot of the gate unless it holds one.
    // The wait for a slot is not the load's own time: it is not counted against
    // the load's budget, so a file answers in a request full of others as alone.
    void becomeHeavy();

    // The read and seek callbacks of an AVIOContext whose opaque is the BudgetedFile.
    static int read(void* opaque, uint8_t* buffer, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);

private:
    int readSome(uint8_t* buffer, int size);
    int64_t seekTo(int64_t offset, int whence);

    int descriptor_;
    int64_t size_;
    int64_t storedBytes_;
    const MediaAssetLimits& limits_;
    HeavyLoadGate& gate_;
    LoadInterrupt& interrupt_;
    // Reads go by position (pread): the descriptor's own offset is not used.
    int64_t position_ = 0;
    int64_t bytesRead_ = 0;
    bool heavy_ = false;
};

} // namespace platform::linux_backend
