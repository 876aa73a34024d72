#include "Tavrik/Output.h"

namespace tavrik {
namespace {

std::shared_ptr<OutputSink>& standardSink() {
    static auto* sink = new std::shared_ptr<OutputSink>(std::make_shared<StreamSink>(stdout));
    return *sink;
}

std::mutex& sinkMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::shared_ptr<OutputSink>& currentSink() {
    static auto* sink = new std::shared_ptr<OutputSink>();
    return *sink;
}

} // namespace

// The stream's own lock is held over the text and its line feed: other writers of the
// stream (the microphone level lines) take that lock, never this sink's mutex.
void StreamSink::write(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream_);
    std::fputc('\n', stream_);
}

void StreamSink::writeLine(std::string_view text) {
    std::lock_guard lock(mutex_);
    flockfile(stream_);
    write(text);
    std::fflush(stream_);
    funlockfile(stream_);
}

void StreamSink::writeLineUnflushed(std::string_view text) {
    std::lock_guard lock(mutex_);
    flockfile(stream_);
    write(text);
    funlockfile(stream_);
}

std::shared_ptr<OutputSink> output() {
    std::lock_guard lock(sinkMutex());
    auto& sink = currentSink();
    return sink ? sink : standardSink();
}

void setOutput(std::shared_ptr<OutputSink> sink) {
    std::lock_guard lock(sinkMutex());
    currentSink() = std::move(sink);
}

} // namespace tavrik
