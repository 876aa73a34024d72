#pragma once
// Reusable frame memory. A frame handed to consumers keeps its block until the
// last of them releases it; the block then goes back to the pool for the next
// frame. The pool never holds more than `capacity` blocks: when they are all
// out, acquire() gives nothing and the producer drops the frame. That bounds the
// memory of a stream whose consumer keeps frames longer than it should.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::linux_backend {

struct FrameMemory {
    virtual ~FrameMemory() = default;
    uint8_t* data = nullptr;
    size_t size = 0;
    // The producer's number of the picture the block holds, 0 for none known: a
    // producer may then rewrite only what changed since.
    uint64_t picture = 0;
};

// The blocks a pool of pictures of `pictureBytes` holds: as many as fit in `budgetBytes`,
// never fewer than `minimum` nor more than `maximum`.
size_t blocksWithin(size_t budgetBytes, size_t pictureBytes, size_t minimum, size_t maximum);

class FrameMemoryPool : public std::enable_shared_from_this<FrameMemoryPool> {
public:
    using Allocate = std::function<std::unique_ptr<FrameMemory>(size_t size)>;

    FrameMemoryPool(size_t capacity, Allocate allocate) : capacity_(capacity), allocate_(std::move(allocate)) {}

    // Allocates up to `count` blocks of `size` bytes now and touches every page of them, so
    // that the first frames do not pay for it; fewer when allocation fails. Never more than
    // the capacity.
    void prepare(size_t count, size_t size);

    // A block of at least `size` bytes; nullptr when all blocks are out or allocation fails.
    // Blocks smaller than `size` are freed and replaced (the picture grew).
    std::shared_ptr<FrameMemory> acquire(size_t size);

    size_t blocksOut() const;

    // Plain heap memory.
    static Allocate heap();

private:
    void giveBack(std::unique_ptr<FrameMemory> block);

    const size_t capacity_;
    Allocate allocate_;
    mutable std::mutex mutex_;  // guards free_ and out_
    std::vector<std::unique_ptr<FrameMemory>> free_;
    size_t out_ = 0;
};

} // namespace platform::linux_backend
