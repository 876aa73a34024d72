#include "Dovezode/OutputFile.h"

#include <algorithm>

namespace Dovezode {

bool OutputFile::startWriting(const platform::MediaTime& time) {
    running = writer->startWriting();
    if (!running) {
        startFailed = true;
        return false;
    }
    writer->startSession(time);
    sessionStartPTS = time;
    return true;
}

void OutputFile::finishWriting(const platform::MediaTime& end) {
    if (!writer || writer->status() != platform::AssetWriterStatus::writing) return;
    if (end.isValid() && sessionStartPTS.isValid() && platform::compare(end, sessionStartPTS) > 0) {
        writer->endSession(end);
        endPTS = end;
    }
    if (input) {
        auto inputs = writer->inputs();
        if (std::find(inputs.begin(), inputs.end(), input) != inputs.end()) input->markAsFinished();
    }
    writer->finishWriting();
}

void OutputFile::resetTiming() {
    sessionStartPTS = platform::MediaTime::invalid();
    lastPTS = platform::MediaTime::invalid();
    lastDuration = platform::MediaTime::zero();
    endPTS = platform::MediaTime::invalid();
}

void OutputFile::replace(std::shared_ptr<platform::AssetWriter> newWriter,
                         std::shared_ptr<platform::AssetWriterInput> newInput) {
    writer = std::move(newWriter);
    input = std::move(newInput);
    running = false;
    startFailed = false;
    closing = false;
}

} // namespace Dovezode
