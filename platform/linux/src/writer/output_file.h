#pragma once
// The file an asset writer writes, opened once when it is created: everything is
// written through its descriptor, never by opening the path again, so that a file
// or link put at the path later cannot redirect the writes.

#include <cstdint>
#include <optional>
#include <string>

struct AVIOContext;

namespace platform::linux_backend {

class OutputFile {
public:
    // Creates the (empty) file; an existing one is never overwritten. Throws
    // PlatformError naming the path and the cause.
    explicit OutputFile(std::string path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }

    // Whether the path still names this file (not a file or link put in its place).
    bool pathNamesIt() const;
    // The error (ENOSPC or EFBIG) when the file, now `fileSize` bytes, cannot grow by
    // `needed` bytes: the disk's room for this user, or the file-size limit.
    std::optional<int> roomShortage(int64_t fileSize, int64_t needed) const;
    // An I/O context for the muxer reading, writing and seeking through the descriptor;
    // null when out of memory. Free it with freeIoContext, before close.
    AVIOContext* makeIoContext() const;
    // Flushes and frees `io`; returns its error (negative) if writing failed.
    static int freeIoContext(AVIOContext*& io);
    // Closes the descriptor (once); 0, or a negative FFmpeg error.
    int close();
    // Removes the file, when the path still names it: never what someone else put there.
    void remove() const;

private:
    const std::string path_;
    int descriptor_ = -1;  // -1 once closed
    uint64_t device_ = 0;  // identity of the file, to tell whether the path still names it
    uint64_t inode_ = 0;
};

} // namespace platform::linux_backend
