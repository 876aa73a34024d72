#include "writer/output_file.h"

#include "common/ffmpeg_error.h"
#include "writer/finishing_room.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavformat/version.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace platform::linux_backend {

namespace {

std::string systemErrorText(int code) { return std::strerror(code); }

constexpr int kIoBufferBytes = 64 * 1024;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using IoWriteBuffer = const uint8_t*;
#else
using IoWriteBuffer = uint8_t*;
#endif

int descriptorOf(void* opaque) { return static_cast<int>(reinterpret_cast<intptr_t>(opaque)); }

int readFromDescriptor(void* opaque, uint8_t* buffer, int size) {
    ssize_t got;
    do got = ::read(descriptorOf(opaque), buffer, size_t(size));
    while (got < 0 && errno == EINTR);
    if (got < 0) return AVERROR(errno);
    return got == 0 ? AVERROR_EOF : int(got);
}

int writeToDescriptor(void* opaque, IoWriteBuffer buffer, int size) {
    int done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(descriptorOf(opaque), buffer + done, size_t(size - done));
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return AVERROR(errno);  // EFBIG beyond a file-size limit, ENOSPC on a full disk
        }
        done += int(wrote);
    }
    return size;
}

int64_t seekDescriptor(void* opaque, int64_t offset, int whence) {
    const int descriptor = descriptorOf(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat status {};
        if (::fstat(descriptor, &status) != 0) return AVERROR(errno);
        return status.st_size;
    }
    const off_t position = ::lseek(descriptor, off_t(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : int64_t(position);
}

} // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    // The system would take a name holding a NUL only up to it: another file than the one asked for.
    if (path_.find('\0') != std::string::npos) {
        throw PlatformError(kAssetWriterErrorDomain, EINVAL,
                            "Cannot create the file at " + path_ + ": " + systemErrorText(EINVAL));
    }
    // An existing file is never overwritten: a recording must not replace another one.
    // The file is opened without following a link.
    descriptor_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (descriptor_ < 0) {
        const int code = errno;
        throw PlatformError(kAssetWriterErrorDomain, code,
                            "Cannot create the file at " + path_ + ": " + systemErrorText(code));
    }
    struct stat status {};
    if (::fstat(descriptor_, &status) == 0) {
        device_ = uint64_t(status.st_dev);
        inode_ = uint64_t(status.st_ino);
    }
}

OutputFile::~OutputFile() { close(); }

bool OutputFile::pathNamesIt() const {
    struct stat status {};
    return ::lstat(path_.c_str(), &status) == 0 && uint64_t(status.st_dev) == device_ &&
           uint64_t(status.st_ino) == inode_;
}

void OutputFile::keepRoom(int64_t bytes) {
    if (descriptor_ < 0) return;
    keptRoom_ = bytes;
    FinishingRoom::shared().keep(device_, this, bytes);
}

std::optional<PlatformError> OutputFile::writeRefusal(int64_t fileSize, int64_t packetBytes) const {
    struct stat status {};
    if (::fstat(descriptor_, &status) == 0 && status.st_nlink == 0) {
        // Its folder was removed, or the file itself: the recording would go nowhere.
        return PlatformError(kAssetWriterErrorDomain, ENOENT,
                             "Cannot write to " + path_ + ": the file was deleted while it was being written");
    }
    std::optional<int> shortage;
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<int64_t>(limit.rlim_cur) - fileSize < keptRoom_ + packetBytes) {
        shortage = EFBIG;
    }
    struct statvfs disk {};
    if (!shortage && ::fstatvfs(descriptor_, &disk) == 0 &&
        static_cast<int64_t>(disk.f_bavail) * static_cast<int64_t>(disk.f_frsize) <
            FinishingRoom::shared().keptOn(device_) + packetBytes) {
        shortage = ENOSPC;
    }
    if (!shortage) return std::nullopt;
    return PlatformError(kAssetWriterErrorDomain, *shortage,
                         "Cannot write to " + path_ + ": " + systemErrorText(*shortage) +
                             " (the file ends here, with room kept for its index)");
}

AVIOContext* OutputFile::makeIoContext() const {
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
    AVIOContext* io = buffer ? avio_alloc_context(buffer, kIoBufferBytes, 1,
                                                  reinterpret_cast<void*>(intptr_t(descriptor_)),
                                                  readFromDescriptor, writeToDescriptor, seekDescriptor)
                             : nullptr;
    if (!io) av_free(buffer);
    return io;
}

int OutputFile::freeIoContext(AVIOContext*& io) {
    avio_flush(io);
    const int error = io->error;
    av_freep(&io->buffer);
    avio_context_free(&io);
    return error;
}

int OutputFile::close() {
    if (descriptor_ < 0) return 0;
    if (keptRoom_ > 0) FinishingRoom::shared().release(device_, this);
    keptRoom_ = 0;
    const int closed = ::close(descriptor_);
    descriptor_ = -1;
    return closed == 0 ? 0 : AVERROR(errno);
}

void OutputFile::remove() const {
    if (pathNamesIt()) ::unlink(path_.c_str());
}

} // namespace platform::linux_backend
