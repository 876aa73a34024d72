#include "platform/linux/v4l2_cameras.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace platform::linux_backend {
namespace {

std::optional<int> videoNodeNumber(const std::string& name) {
    constexpr std::string_view prefix = "video";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    if (digits.size() > 6) return std::nullopt;
    return std::stoi(digits);
}

class KernelV4l2System final : public V4l2System {
public:
    std::vector<std::string> videoNodes() override {
        std::vector<std::pair<int, std::string>> numbered;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev", error)) {
            auto name = entry.path().filename().string();
            if (auto number = videoNodeNumber(name)) numbered.emplace_back(*number, entry.path().string());
        }
        std::sort(numbered.begin(), numbered.end());
        std::vector<std::string> nodes;
        for (auto& [number, path] : numbered) nodes.push_back(std::move(path));
        return nodes;
    }

    std::vector<std::pair<std::string, std::string>> byIdNames() override {
        std::vector<std::pair<std::string, std::string>> names;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/v4l/by-id", error)) {
            std::error_code resolveError;
            auto target = std::filesystem::canonical(entry.path(), resolveError);
            if (!resolveError) names.emplace_back(entry.path().filename().string(), target.string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }

    int ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }

    int close(int fd) override { return ::close(fd); }

    void* mmap(size_t length, int protection, int flags, int fd, long offset) override {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }

    int munmap(void* address, size_t length) override { return ::munmap(address, length); }

    int poll(int fd, short events, int timeoutMilliseconds) override {
        pollfd descriptor{fd, events, 0};
        int result;
        do {
            result = ::poll(&descriptor, 1, timeoutMilliseconds);
        } while (result == -1 && errno == EINTR);
        return result;
    }
};

} // namespace

void* V4l2System::mmap(size_t, int, int, int, long) {
    errno = ENOSYS;
    return MAP_FAILED;
}

int V4l2System::munmap(void*, size_t) {
    errno = ENOSYS;
    return -1;
}

int V4l2System::poll(int, short, int) {
    errno = ENOSYS;
    return -1;
}

std::shared_ptr<V4l2System> kernelV4l2System() { return std::make_shared<KernelV4l2System>(); }

} // namespace platform::linux_backend
