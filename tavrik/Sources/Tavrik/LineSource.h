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
    // Whether the line nextLine() just gave was longer than the source keeps: it
    // then holds only the line's head, which must not be taken as a command.
    virtual bool lastLineTooLong() const { return false; }
};

// Reads a C stream (standard input in the program). A line longer than
// `maxLineBytes` keeps only its first `maxLineBytes` bytes and is marked too
// long; the rest is read and dropped, so a hostile line cannot exhaust memory.
// The default leaves room for a command word beside the largest request the
// decoder takes.
class StreamLineSource final : public LineSource {
public:
    static constexpr size_t kDefaultMaxLineBytes = (1u << 20) + 4096;

    explicit StreamLineSource(std::FILE* stream, size_t maxLineBytes = kDefaultMaxLineBytes)
        : stream_(stream), maxLineBytes_(maxLineBytes) {}
    std::optional<std::string> nextLine() override;
    bool lastLineTooLong() const override { return lastLineTooLong_; }
    size_t maxLineBytes() const { return maxLineBytes_; }

private:
    std::FILE* stream_;
    size_t maxLineBytes_;
    bool lastLineTooLong_ = false;
};

// Removes the line terminator of a line read up to and including its LF.
std::string withoutTerminator(std::string line);

} // namespace tavrik
