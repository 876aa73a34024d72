#pragma once
// The file an asset writer writes, opened once when it is created: everything is
// written through its descriptor, never by opening the path again, so that a file
// or link put at the path later cannot redirect the writes.

#include "platform/error.h"

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
    // Keeps `bytes` free for finishing this file, on its file system (FinishingRoom),
    // until it is closed.
    void keepRoom(int64_t bytes);
    // Why the file, now `fileSize` bytes, must not grow by a packet of `packetBytes`:
    // the file was deleted (no link names it any more: what is written is lost), or
    // writing it would eat into the room kept for finishing this file (under the
    // file-size limit) or any file open on its file system (the disk's room for this
    // user). Gives the error naming the file, or none.
    std::optional<PlatformError> writeRefusal(int64_t fileSize, int64_t packetBytes) const;
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
    int64_t keptRoom_ = 0;  // what keepRoom keeps, 0 while nothing is kept
};

} // namespace platform::linux_backend
