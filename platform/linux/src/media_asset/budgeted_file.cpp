#include "media_asset/budgeted_file.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace platform::linux_backend {

LoadInterrupt::Clock::duration HeavyLoadGate::enter() {
    auto start = LoadInterrupt::Clock::now();
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return free_ > 0; });
    --free_;
    return LoadInterrupt::Clock::now() - start;
}

void HeavyLoadGate::leave() {
    {
        std::lock_guard lock(mutex_);
        ++free_;
    }
    freed_.notify_one();
}

BudgetedFile::~BudgetedFile() {
    if (heavy_) gate_.leave();
    ::close(descriptor_);
}

int BudgetedFile::read(void* opaque, uint8_t* buffer, int size) {
    return static_cast<BudgetedFile*>(opaque)->readSome(buffer, size);
}

int64_t BudgetedFile::seek(void* opaque, int64_t offset, int whence) {
    return static_cast<BudgetedFile*>(opaque)->seekTo(offset, whence);
}

void BudgetedFile::becomeHeavy() {
    if (heavy_) return;
    interrupt_.excuse(gate_.enter());
    heavy_ = true;
}

int64_t BudgetedFile::peek(int64_t offset, uint8_t* buffer, size_t size) {
    if (interrupt_.late()) return -1;
    size_t done = 0;
    while (done < size) {
        ssize_t count = ::pread(descriptor_, buffer + done, size - done, static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return -1;
        if (count == 0) break;
        done += static_cast<size_t>(count);
    }
    return static_cast<int64_t>(done);
}

int BudgetedFile::readSome(uint8_t* buffer, int size) {
    if (interrupt_.late()) return AVERROR_EXIT;
    if (bytesRead_ >= limits_.lightReadBytes) becomeHeavy();
    int64_t left = limits_.readBudgetBytes - bytesRead_;
    if (left <= 0) return AVERROR_EOF;
    // A sparse file that holds nothing but a hole from here to its end (a
    // few bytes of header "followed" by gigabytes) has no more to give:
    // its zeros would only be scanned for a structure that is not there.
    if (storedBytes_ < size_ && ::lseek(descriptor_, static_cast<off_t>(position_), SEEK_DATA) < 0 && errno == ENXIO)
        return AVERROR_EOF;
    auto wanted = static_cast<size_t>(std::min<int64_t>(size, left));
    ssize_t count;
    do count = ::pread(descriptor_, buffer, wanted, static_cast<off_t>(position_));
    while (count < 0 && errno == EINTR);
    if (count < 0) return AVERROR(errno);
    if (count == 0) return AVERROR_EOF;
    bytesRead_ += count;
    position_ += count;
    return static_cast<int>(count);
}

int64_t BudgetedFile::seekTo(int64_t offset, int whence) {
    if (whence & AVSEEK_SIZE) return size_;
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET: break;
    case SEEK_CUR: base = position_; break;
    case SEEK_END: base = size_; break;
    default: return AVERROR(EINVAL);
    }
    if (offset > INT64_MAX - base || base + offset < 0) return AVERROR(EINVAL);
    position_ = base + offset;
    return position_;
}

} // namespace platform::linux_backend
