#include "common/frame_memory_pool.h"

#include <unistd.h>

#include <algorithm>
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

size_t blocksWithin(size_t budgetBytes, size_t pictureBytes, size_t minimum, size_t maximum) {
    const size_t fitting = budgetBytes / std::max<size_t>(pictureBytes, 1);
    return std::max(minimum, std::min(fitting, maximum));
}

void FrameMemoryPool::prepare(size_t count, size_t size) {
    const long page = sysconf(_SC_PAGESIZE);
    const size_t step = page > 0 ? size_t(page) : 4096;
    std::vector<std::unique_ptr<FrameMemory>> made;
    {
        std::lock_guard guard(mutex_);
        const size_t held = out_ + free_.size();
        count = held >= capacity_ ? 0 : std::min(count, capacity_ - held);
        out_ += count;  // counted as out while being made, so that acquire() stays within the capacity
    }
    for (size_t index = 0; index < count; ++index) {
        auto block = allocate_(size);
        if (!block) break;
        // Writing one byte a page makes the system back the whole block now.
        for (size_t offset = 0; offset < block->size; offset += step) block->data[offset] = 0;
        made.push_back(std::move(block));
    }
    std::lock_guard guard(mutex_);
    out_ -= count;
    for (auto& block : made) free_.push_back(std::move(block));
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
