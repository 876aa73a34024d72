#include "platform/fake/fake_asset_writer.h"

#include <cerrno>
#include <stdexcept>

namespace platform::fake {

// ---- script

FakeAssetWriterScript& FakeAssetWriterScript::fail(FakeOperation operation, std::optional<PlatformError> error) {
    switch (operation) {
    case FakeOperation::assetWritersMakeWriter:
    case FakeOperation::assetWriterAddInput:
    case FakeOperation::assetWriterStartWriting:
    case FakeOperation::assetWriterInputAppend: break;
    default:
        throw std::invalid_argument(std::string(fakeOperationName(operation)) + " is not an operation of a writer");
    }
    failures_.insert_or_assign(operation, std::move(error));
    return *this;
}

std::optional<PlatformError> FakeAssetWriterScript::failure(FakeOperation operation, const std::string& path) const {
    const auto found = failures_.find(operation);
    if (found == failures_.end()) return std::nullopt;
    if (found->second) return found->second;
    if (operation == FakeOperation::assetWriterStartWriting)
        return PlatformError("AssetWriterErrorDomain", -1, "Scripted start failure for " + path);
    return PlatformError("AssetWriterErrorDomain", -1,
                         "Scripted failure of " + std::string(fakeOperationName(operation)) + " for " + path);
}

// ---- input

void FakeAssetWriterInput::setExpectsMediaDataInRealTime(bool realTime) {
    std::lock_guard lock(mutex_);
    realTime_ = realTime;
}

bool FakeAssetWriterInput::expectsMediaDataInRealTime() const {
    std::lock_guard lock(mutex_);
    return realTime_;
}

std::shared_ptr<FakeAssetWriter> FakeAssetWriterInput::writer() const {
    std::lock_guard lock(mutex_);
    return writer_.lock();
}

bool FakeAssetWriterInput::isReadyForMoreMediaData() const {
    const auto writer = this->writer();
    std::optional<bool> ready;
    {
        std::lock_guard lock(mutex_);
        if (!writer || finished_) return false;
        ready = ready_;
    }
    std::lock_guard lock(writer->mutex_);
    if (ready) return *ready && writer->acceptsSamples();
    return writer->acceptsSamples() && writer->script_.inputsReady;
}

bool FakeAssetWriterInput::append(const SampleBufferRef& sample) {
    std::function<void()> hook;
    {
        std::lock_guard lock(mutex_);
        hook = onAppend_;
    }
    const bool overlapping = appending_.fetch_add(1) > 0;
    struct Leave {
        std::atomic<int>& appending;
        ~Leave() { --appending; }
    } leave{appending_};
    if (overlapping) {
        std::lock_guard lock(mutex_);
        ++overlapping_;
    }
    if (hook) hook();
    bool accepted = false;
    bool inTime = true;
    if (const auto writer = this->writer()) {
        std::optional<MediaTime> previous;
        {
            std::lock_guard lock(mutex_);
            if (mediaType_ == MediaType::video && !appended_.empty()) previous = appended_.back().presentationTime;
        }
        std::lock_guard lock(writer->mutex_);
        const bool refused = writer->failures_->next(FakeOperation::assetWriterInputAppend).has_value() ||
                             writer->script_.fails(FakeOperation::assetWriterInputAppend);
        accepted = writer->acceptsSamples() && !refused && sample;
        inTime = !accepted || writer->takesAtTime(mediaType_, sample->presentationTimeStamp(), previous);
        accepted = accepted && inTime;
    }
    // Like a real-time input, a fake that is not ready refuses the sample.
    accepted = accepted && isReadyForMoreMediaData();
    std::lock_guard lock(mutex_);
    accepted = accepted && !finished_;
    if (!accepted) {
        ++refused_;
        if (!inTime) ++refusedForTime_;
        return false;
    }
    appended_.push_back({sample, sample->presentationTimeStamp(), sample->duration()});
    return true;
}

void FakeAssetWriterInput::markAsFinished() {
    std::lock_guard lock(mutex_);
    finished_ = true;
}

std::vector<AppendedSample> FakeAssetWriterInput::appended() const {
    std::lock_guard lock(mutex_);
    return appended_;
}

size_t FakeAssetWriterInput::refusedAppends() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

size_t FakeAssetWriterInput::refusedForTime() const {
    std::lock_guard lock(mutex_);
    return refusedForTime_;
}

bool FakeAssetWriterInput::isMarkedAsFinished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

void FakeAssetWriterInput::setOnAppend(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    onAppend_ = std::move(hook);
}

size_t FakeAssetWriterInput::overlappingAppends() const {
    std::lock_guard lock(mutex_);
    return overlapping_;
}

void FakeAssetWriterInput::setReady(bool ready) {
    std::lock_guard lock(mutex_);
    ready_ = ready;
}

// ---- writer

bool FakeAssetWriter::acceptsSamples() const {
    return status_ == AssetWriterStatus::writing && sessionStart_.has_value();
}

bool FakeAssetWriter::canAddInput(const std::shared_ptr<AssetWriterInput>& input) const {
    const bool refused = failures_->next(FakeOperation::assetWriterAddInput).has_value();
    return admits(std::dynamic_pointer_cast<FakeAssetWriterInput>(input)) && !refused;
}

bool FakeAssetWriter::admits(const std::shared_ptr<FakeAssetWriterInput>& fake) const {
    if (!fake) return false;
    {
        std::lock_guard inputLock(fake->mutex_);
        if (!fake->writer_.expired()) return false;
    }
    // Like the Linux writer, an AAC input with a bit rate the encoder cannot use is refused.
    if (const auto* audio = std::get_if<AudioSettings>(&fake->outputSettings())) {
        if (audio->formatID == audio_format::mpeg4AAC && audio->encoderBitRate &&
            *audio->encoderBitRate < kMinimumAacBitRate) {
            return false;
        }
    }
    std::lock_guard lock(mutex_);
    return !script_.fails(FakeOperation::assetWriterAddInput) && status_ == AssetWriterStatus::unknown;
}

void FakeAssetWriter::addInput(std::shared_ptr<AssetWriterInput> input) {
    auto fake = std::dynamic_pointer_cast<FakeAssetWriterInput>(input);
    if (!admits(fake)) throw std::logic_error("The writer of " + path_ + " cannot add this input");
    {
        std::lock_guard inputLock(fake->mutex_);
        fake->writer_ = weak_from_this();
    }
    std::lock_guard lock(mutex_);
    inputs_.push_back(std::move(fake));
}

std::vector<std::shared_ptr<AssetWriterInput>> FakeAssetWriter::inputs() const {
    std::lock_guard lock(mutex_);
    return {inputs_.begin(), inputs_.end()};
}

std::vector<std::shared_ptr<FakeAssetWriterInput>> FakeAssetWriter::fakeInputs() const {
    std::lock_guard lock(mutex_);
    return inputs_;
}

void FakeAssetWriter::prepareVideoInput(const VideoSettings& settings, FourCharCode sourcePixelFormat) {
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::unknown || videoInputHint_) return;
    videoInputHint_ = VideoInputHint{settings, sourcePixelFormat, inputs_.size()};
}

std::optional<VideoInputHint> FakeAssetWriter::videoInputHint() const {
    std::lock_guard lock(mutex_);
    return videoInputHint_;
}

bool FakeAssetWriter::startWriting() {
    std::lock_guard lock(mutex_);
    ++startWritingCalls_;
    if (status_ != AssetWriterStatus::unknown) return false;
    auto failure = script_.failure(FakeOperation::assetWriterStartWriting, path_);
    if (auto shared = failures_->next(FakeOperation::assetWriterStartWriting); shared && !failure) failure = shared;
    if (failure) {
        status_ = AssetWriterStatus::failed;
        error_ = std::move(failure);
        return false;
    }
    status_ = AssetWriterStatus::writing;
    return true;
}

void FakeAssetWriter::startSession(MediaTime sourceTime) {
    std::lock_guard lock(mutex_);
    if (status_ == AssetWriterStatus::writing && !sessionStart_) sessionStart_ = sourceTime;
}

AssetWriterStatus FakeAssetWriter::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<PlatformError> FakeAssetWriter::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void FakeAssetWriter::finishWriting() {
    std::vector<std::shared_ptr<FakeAssetWriterInput>> inputs;
    {
        std::lock_guard lock(mutex_);
        ++finishWritingCalls_;
        if (status_ == AssetWriterStatus::writing) status_ = AssetWriterStatus::completed;
        inputs = inputs_;
    }
    for (const auto& input : inputs) input->markAsFinished();
    {
        std::lock_guard lock(journal_->mutex);
        journal_->paths.push_back(path_);
    }
    removeFileIfEmpty();
}

bool FakeAssetWriter::hasSamples() const {
    for (const auto& input : fakeInputs()) {
        if (!input->appended().empty()) return true;
    }
    return false;
}

void FakeAssetWriter::removeFileIfEmpty() {
    if (hasSamples()) return;
    std::lock_guard lock(journal_->mutex);
    journal_->files.erase(path_);
}

std::optional<MediaTime> FakeAssetWriter::sessionStartTime() const {
    std::lock_guard lock(mutex_);
    return sessionStart_;
}

int FakeAssetWriter::startWritingCalls() const {
    std::lock_guard lock(mutex_);
    return startWritingCalls_;
}

int FakeAssetWriter::finishWritingCalls() const {
    std::lock_guard lock(mutex_);
    return finishWritingCalls_;
}

void FakeAssetWriter::failWriting(PlatformError error) {
    std::optional<MediaTime> end;
    for (const auto& input : fakeInputs()) {
        for (const auto& appended : input->appended()) {
            const MediaTime sampleEnd = appended.duration.isNumeric() ? appended.presentationTime + appended.duration
                                                                      : appended.presentationTime;
            if (!end || sampleEnd > *end) end = sampleEnd;
        }
    }
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::writing) return;
    status_ = AssetWriterStatus::failed;
    error_ = std::move(error);
    failedAt_ = end ? end : sessionStart_;
}

std::optional<MediaTime> FakeAssetWriter::failedAt() const {
    std::lock_guard lock(mutex_);
    if (status_ != AssetWriterStatus::failed) return std::nullopt;
    return failedAt_;
}

// ---- factory

std::shared_ptr<AssetWriter> FakeAssetWriters::makeWriter(const std::string& path, FileType fileType) {
    std::lock_guard lock(mutex_);
    const auto scripted = scripts_.find(path);
    const FakeAssetWriterScript script = scripted != scripts_.end() ? scripted->second : defaultScript_;
    failures_->throwIfScripted(FakeOperation::assetWritersMakeWriter);
    if (auto failure = script.failure(FakeOperation::assetWritersMakeWriter, path)) throw *failure;
    {
        // As the Linux writer, which creates its file exclusively: an existing file is never replaced.
        std::lock_guard files(journal_->mutex);
        if (!journal_->files.insert(path).second)
            throw PlatformError("AssetWriterErrorDomain", EEXIST, "Cannot create the file at " + path + ": File exists");
    }
    auto writer = std::make_shared<FakeAssetWriter>(path, fileType, script, failures_, journal_);
    writers_.push_back(writer);
    // The caller's reference: when its last copy goes, the writer is released.
    struct Lease {
        std::shared_ptr<FakeAssetWriter> writer;
        ~Lease() { writer->removeFileIfEmpty(); }
    };
    std::shared_ptr<Lease> lease(new Lease{writer});
    return std::shared_ptr<AssetWriter>(lease, writer.get());
}

std::shared_ptr<AssetWriterInput> FakeAssetWriters::makeInput(MediaType mediaType, OutputSettings settings) {
    const bool fits = (mediaType == MediaType::audio && std::holds_alternative<AudioSettings>(settings)) ||
                      (mediaType == MediaType::video && std::holds_alternative<VideoSettings>(settings));
    if (!fits) throw std::invalid_argument("The output settings do not fit the media type");
    return std::make_shared<FakeAssetWriterInput>(mediaType, std::move(settings));
}

std::optional<OutputSettingsAssistant> FakeAssetWriters::outputSettingsAssistant(OutputSettingsPreset preset) {
    {
        std::lock_guard lock(mutex_);
        if (!assistantAvailable_) return std::nullopt;
    }
    return OutputSettingsAssistant::make(preset);
}

void FakeAssetWriters::setScript(const std::string& path, FakeAssetWriterScript script) {
    std::lock_guard lock(mutex_);
    scripts_.insert_or_assign(path, std::move(script));
}

void FakeAssetWriters::setDefaultScript(FakeAssetWriterScript script) {
    std::lock_guard lock(mutex_);
    defaultScript_ = std::move(script);
}

void FakeAssetWriters::setAssistantAvailable(bool available) {
    std::lock_guard lock(mutex_);
    assistantAvailable_ = available;
}

std::vector<std::shared_ptr<FakeAssetWriter>> FakeAssetWriters::writers() const {
    std::lock_guard lock(mutex_);
    return writers_;
}

std::shared_ptr<FakeAssetWriter> FakeAssetWriters::writer(const std::string& path) const {
    std::lock_guard lock(mutex_);
    for (auto it = writers_.rbegin(); it != writers_.rend(); ++it)
        if ((*it)->outputPath() == path) return *it;
    return nullptr;
}

std::vector<std::string> FakeAssetWriters::finishOrder() const {
    std::lock_guard lock(journal_->mutex);
    return journal_->paths;
}

bool FakeAssetWriters::fileExists(const std::string& path) const {
    std::lock_guard lock(journal_->mutex);
    return journal_->files.count(path) > 0;
}

void FakeAssetWriters::addFile(const std::string& path) {
    std::lock_guard lock(journal_->mutex);
    journal_->files.insert(path);
}

void FakeAssetWriters::removeFile(const std::string& path) {
    std::lock_guard lock(journal_->mutex);
    journal_->files.erase(path);
}

// ---- times: what the Linux writer refuses for the time a sample is presented at

void FakeAssetWriter::endSession(MediaTime sourceTime) {
    std::lock_guard lock(mutex_);
    // As the Linux writer, also after a failure while writing.
    const bool started = status_ == AssetWriterStatus::writing || (status_ == AssetWriterStatus::failed && failedAt_);
    if (started && sessionStart_ && !sessionEnd_ && sourceTime.isNumeric()) sessionEnd_ = sourceTime;
}

std::optional<MediaTime> FakeAssetWriter::sessionEndTime() const {
    std::lock_guard lock(mutex_);
    return sessionEnd_;
}

bool FakeAssetWriter::takesAtTime(MediaType mediaType, const MediaTime& time,
                                  const std::optional<MediaTime>& previous) const {
    if (!time.isNumeric()) return false;
    if (sessionEnd_ && compare(time, *sessionEnd_) >= 0) return false;
    if (mediaType != MediaType::video) return true;  // audio before the session start is trimmed, not refused
    if (sessionStart_ && compare(time, *sessionStart_) < 0) return false;
    return !previous || compare(time, *previous) > 0;
}

} // namespace platform::fake
