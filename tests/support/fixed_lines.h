#pragma once
// Command input for in-process tests: a fixed list of lines, then the end of input.

#include "Tavrik/LineSource.h"

#include <string>
#include <vector>

namespace test_support {

class FixedLines final : public tavrik::LineSource {
public:
    explicit FixedLines(std::vector<std::string> lines) : lines_(std::move(lines)) {}
    std::optional<std::string> nextLine() override {
        if (next_ == lines_.size()) return std::nullopt;
        return lines_[next_++];
    }

private:
    std::vector<std::string> lines_;
    size_t next_ = 0;
};

} // namespace test_support
