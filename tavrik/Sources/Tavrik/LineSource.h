#pragma once
// Line-by-line reading of the command input.

#include <cstdio>
#include <optional>
#include <string>

namespace tavrik {

class LineSource {
public:
    virtual ~LineSource() = default;
    // Blocks until a whole line or the end of input. The terminator (LF, or CR LF)
    // is removed; a last line without a terminator still counts. Absent at the end.
    virtual std::optional<std::string> nextLine() = 0;
};

// Reads a C stream (standard input in the program).
class StreamLineSource final : public LineSource {
public:
    explicit StreamLineSource(std::FILE* stream) : stream_(stream) {}
    std::optional<std::string> nextLine() override;

private:
    std::FILE* stream_;
};

// Removes the line terminator of a line read up to and including its LF.
std::string withoutTerminator(std::string line);

} // namespace tavrik
