#pragma once
// The room kept free on each file system for finishing the files being written on
// it: their index and the muxer's last packets. The files of a recording share
// their disk's free space, so each one's check counts what every file open on the
// same file system keeps, and each of them can still be finished on a full disk.

#include <cstdint>
#include <map>
#include <mutex>

namespace platform::linux_backend {

class FinishingRoom {
public:
    // The one ledger of the process.
    static FinishingRoom& shared();

    // What `owner`, a file on the file system `device`, keeps from now on.
    void keep(uint64_t device, const void* owner, int64_t bytes);
    void release(uint64_t device, const void* owner);
    // What all the files on `device` keep together.
    int64_t keptOn(uint64_t device) const;

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, std::map<const void*, int64_t>> kept_;
};

} // namespace platform::linux_backend
