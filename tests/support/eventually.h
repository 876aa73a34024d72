#pragma once
// Waiting for a condition that other threads or processes bring about.

#include <chrono>
#include <functional>
#include <thread>

namespace test_support {

// Polls the condition until it holds or a generous deadline passes; whether it held.
// Thirty seconds: servers start, windows settle and threads catch up slowly on a
// machine busy with other builds or under a sanitizer; a condition that holds ends
// the wait at once.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds pollEvery = std::chrono::milliseconds(1)) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(pollEvery);
    }
    return condition();
}

} // namespace test_support
