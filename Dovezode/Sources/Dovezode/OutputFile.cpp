#include "Dovezode/OutputFile.h"

#include <algorithm>

namespace Dovezode {

bool OutputFile::appendIfReady(const platform::SampleBufferRef& sample, const platform::MediaTime& endAt) {
    if (!running || !input || !input->isReadyForMoreMediaData()) return false;
    if (endAt.isValid() && platform::compare(sample->presentationTimeStamp(), endAt) >= 0) return false;
    if (!input->append(sample)) return false;
    lastPTS = sample->presentationTimeStamp();
    return true;
}

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
    if (!writer) return;
    // A writer that failed while writing is finished too: what it wrote stays readable.
    const auto status = writer->status();
    if (status != platform::AssetWriterStatus::writing && !(status == platform::AssetWriterStatus::failed && running)) {
        return;
    }
    // A writer that failed is given the end too: where the recording's other files end.
    if (end.isValid() && sessionStartPTS.isValid() && platform::compare(end, sessionStartPTS) > 0) {
        writer->endSession(end);
        endPTS = end;
    }
    if (input) {
        auto inputs = writer->inputs();
        if (std::find(inputs.begin(), inputs.end(), input) != inputs.end()) input->markAsFinished();
    }
    writer->finishWriting();
    // Finished for good: a later finish of the same file has nothing to do.
    running = false;
}

std::optional<platform::PlatformError> OutputFile::takeFailure() {
    // A writer that failed as it started (its path taken by a link, say) is a failure
    // too: the file would otherwise be missing without a word.
    if (!writer || (!running && !startFailed) || failureReported ||
        writer->status() != platform::AssetWriterStatus::failed) {
        return std::nullopt;
    }
    failureReported = true;
    if (auto error = writer->error()) return error;
    return platform::PlatformError("AVFoundationErrorDomain", -11800, "The file at " + writer->outputPath() +
                                                                         " could not be written.");
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
    failureReported = false;
    closing = false;
}

} // namespace Dovezode
