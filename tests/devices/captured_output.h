#pragma once
// An output sink that keeps the lines the program writes, for in-process tests.

#include "Tavrik/JsonWriter.h"
#include "Tavrik/Output.h"

#include <mutex>
#include <string>
#include <vector>

namespace devices_test {

class CapturedOutput final : public tavrik::OutputSink {
public:
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

private:
    void keep(std::string_view text) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(text);
    }
    mutable std::mutex mutex_;  // guards lines_
    std::vector<std::string> lines_;
};

} // namespace devices_test
