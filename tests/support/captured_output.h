#pragma once
// An output sink that keeps the lines the program writes, for in-process tests,
// and lets a test wait for a line that has not arrived yet.

#include "Tavrik/JsonWriter.h"
#include "Tavrik/Output.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace test_support {

class CapturedOutput final : public tavrik::OutputSink {
public:
    // How long a wait lasts by default: generous for a busy machine or a sanitizer; a line
    // that arrives ends the wait at once.
    static constexpr std::chrono::milliseconds kGenerousWait = std::chrono::seconds(30);

    void writeLine(std::string_view text) override { keep(text); }
    void writeLineUnflushed(std::string_view text) override { keep(text); }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // Every line parsed as JSON; a line that is not JSON becomes a discarded value.
    std::vector<tavrik::Json> events() const {
        std::vector<tavrik::Json> parsed;
        for (const auto& line : lines()) parsed.push_back(tavrik::Json::parse(line, nullptr, false));
        return parsed;
    }
    // Waits until some line, parsed, satisfies the predicate; gives it, or nothing after the timeout.
    std::optional<tavrik::Json> waitFor(const std::function<bool(const tavrik::Json&)>& predicate,
                                        std::chrono::milliseconds timeout = kGenerousWait) const {
        std::unique_lock lock(mutex_);
        std::optional<tavrik::Json> found;
        changed_.wait_for(lock, timeout, [&] {
            for (const auto& line : lines_) {
                auto event = tavrik::Json::parse(line, nullptr, false);
                if (predicate(event)) {
                    found = event;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::optional<tavrik::Json> waitForEvent(const std::string& name,
                                             std::chrono::milliseconds timeout = kGenerousWait) const {
        return waitFor([&](const tavrik::Json& e) { return e.is_object() && e.value("event", "") == name; }, timeout);
    }
    // Waits until at least `count` lines have been written.
    bool waitForLines(size_t count, std::chrono::milliseconds timeout = kGenerousWait) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return lines_.size() >= count; });
    }

private:
    void keep(std::string_view text) {
        {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(text);
        }
        changed_.notify_all();
    }
    mutable std::mutex mutex_;  // guards lines_
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

} // namespace test_support
