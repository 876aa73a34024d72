#include "common/frame_memory_pool.h"

#include <new>

namespace platform::linux_backend {
namespace {

struct HeapMemory final : FrameMemory {
    explicit HeapMemory(size_t bytes) : storage(bytes) {
        data = storage.data();
        size = bytes;
    }
    std::vector<uint8_t> storage;
};

} // namespace

FrameMemoryPool::Allocate FrameMemoryPool::heap() {
    return [](size_t size) -> std::unique_ptr<FrameMemory> {
        // Memory the system cannot give drops the frame (acquire() gives nothing), never the process.
        try {
            return std::make_unique<HeapMemory>(size);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    };
}

std::shared_ptr<FrameMemory> FrameMemoryPool::acquire(size_t size) {
    std::unique_ptr<FrameMemory> block;
    {
        std::lock_guard guard(mutex_);
        while (!free_.empty() && !block) {
            block = std::move(free_.back());
            free_.pop_back();
            if (block->size < size) block.reset();
        }
        if (!block && out_ + free_.size() >= capacity_) return nullptr;
        ++out_;
    }
    if (!block) block = allocate_(size);
    if (!block) {
        std::lock_guard guard(mutex_);
        --out_;
        return nullptr;
    }
    FrameMemory* raw = block.release();
    std::weak_ptr<FrameMemoryPool> pool = weak_from_this();
    return std::shared_ptr<FrameMemory>(raw, [pool](FrameMemory* memory) {
        std::unique_ptr<FrameMemory> owned(memory);
        if (auto alive = pool.lock()) alive->giveBack(std::move(owned));
    });
}

void FrameMemoryPool::giveBack(std::unique_ptr<FrameMemory> block) {
    std::lock_guard guard(mutex_);
    --out_;
    free_.push_back(std::move(block));
}

size_t FrameMemoryPool::blocksOut() const {
    std::lock_guard guard(mutex_);
    return out_;
}

} // namespace platform::linux_backend
