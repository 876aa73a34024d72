#pragma once
// Standard output of the program: every line goes through one sink, written
// whole under one lock, so lines from different threads never mix.

#include <cstdio>
#include <memory>
#include <mutex>
#include <string_view>

namespace tavrik {

class OutputSink {
public:
    virtual ~OutputSink() = default;
    // Writes the text and a line feed, then flushes.
    virtual void writeLine(std::string_view text) = 0;
    // Writes the text and a line feed without flushing: it leaves with the next flushed line.
    virtual void writeLineUnflushed(std::string_view text) = 0;
};

// A sink over a C stream (standard output by default).
class StreamSink final : public OutputSink {
public:
    explicit StreamSink(std::FILE* stream) : stream_(stream) {}
    void writeLine(std::string_view text) override;
    void writeLineUnflushed(std::string_view text) override;

private:
    void write(std::string_view text);
    std::mutex mutex_;
    std::FILE* stream_;
};

std::shared_ptr<OutputSink> output();
// Replaces the process-wide sink (tests); nullptr restores standard output.
void setOutput(std::shared_ptr<OutputSink> sink);

} // namespace tavrik
