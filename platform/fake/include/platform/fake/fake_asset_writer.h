#pragma once
// The scripted asset writers: they write nothing, record what the caller asked
// (writers, inputs and settings, appended samples with their times, the order of
// finishing) and refuse where the test scripted a refusal.
//
// Like the Linux writer they also refuse what a real file cannot take: a path
// whose file exists (a writer's file exists from its creation until it is
// finished or released without a sample; a test can add files), and, by time, a
// video frame presented before the session start or not after the previous frame,
// and any sample presented at or after the session's end.
//
// Scripted operations, for every writer (the FailureScript given to the factory)
// and for the writers of one path (FakeAssetWriterScript): assetWritersMakeWriter
// makes makeWriter throw the error; assetWriterAddInput makes canAddInput false;
// assetWriterStartWriting makes startWriting false and fails the writer with the
// error; assetWriterInputAppend makes append false (the sample is not recorded).

#include "platform/asset_writer.h"
#include "platform/fake/failure_script.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform::fake {

// What the writers made for one path do: the writer operations that fail at every
// call, and whether their inputs are ready.
struct FakeAssetWriterScript {
    // Every call of the writer operation fails. makeWriter and startWriting fail with
    // the error, or with a generic one naming the path when none is given. Throws
    // std::invalid_argument for an operation that is not a writer's.
    FakeAssetWriterScript& fail(FakeOperation operation, std::optional<PlatformError> error = std::nullopt);
    // The error of the scripted operation for a writer of the path; nullopt when it works.
    std::optional<PlatformError> failure(FakeOperation operation, const std::string& path) const;
    bool fails(FakeOperation operation) const { return failures_.count(operation) > 0; }

    bool inputsReady = true;  // isReadyForMoreMediaData while writing

private:
    std::map<FakeOperation, std::optional<PlatformError>> failures_;
};

// A video-input hint a writer took (see AssetWriter::prepareVideoInput), and the
// writer as it was then.
struct VideoInputHint {
    VideoSettings settings;
    FourCharCode sourcePixelFormat = 0;
    size_t inputsThen = 0;  // inputs added before the hint
};

struct AppendedSample {
    SampleBufferRef sample;
    MediaTime presentationTime;
    MediaTime duration;
};

class FakeAssetWriterInput final : public AssetWriterInput {
public:
    FakeAssetWriterInput(MediaType mediaType, OutputSettings settings)
        : mediaType_(mediaType), settings_(std::move(settings)) {}

    MediaType mediaType() const override { return mediaType_; }
    const OutputSettings& outputSettings() const override { return settings_; }
    void setExpectsMediaDataInRealTime(bool realTime) override;
    bool expectsMediaDataInRealTime() const override;
    bool isReadyForMoreMediaData() const override;
    bool append(const SampleBufferRef& sample) override;
    void markAsFinished() override;

    // For tests.
    std::vector<AppendedSample> appended() const;
    size_t refusedAppends() const;
    bool isMarkedAsFinished() const;
    // Appends refused for their presentation time (before the session, after its end,
    // a video frame not after the previous one).
    size_t refusedForTime() const;
    void setReady(bool ready);  // overrides the script's inputsReady for this input
    // Runs at the start of every append, on the appending thread, before the sample is looked at.
    void setOnAppend(std::function<void()> hook);
    // Appends that began while another append to this input was still running.
    size_t overlappingAppends() const;

private:
    friend class FakeAssetWriter;
    std::shared_ptr<class FakeAssetWriter> writer() const;

    const MediaType mediaType_;
    const OutputSettings settings_;
    mutable std::mutex mutex_;  // guards the fields below
    std::weak_ptr<class FakeAssetWriter> writer_;  // set once when added
    bool realTime_ = false;
    std::optional<bool> ready_;
    bool finished_ = false;
    std::vector<AppendedSample> appended_;
    size_t refused_ = 0;
    size_t refusedForTime_ = 0;
    std::function<void()> onAppend_;
    size_t overlapping_ = 0;
    std::atomic<int> appending_{0};  // appends running now
};

// Paths in the order their writers were finished, shared by the factory and its writers;
// and the paths whose files exist.
struct FakeFinishJournal {
    std::mutex mutex;  // guards paths and files
    std::vector<std::string> paths;
    std::set<std::string> files;
};

class FakeAssetWriter final : public AssetWriter, public std::enable_shared_from_this<FakeAssetWriter> {
public:
    FakeAssetWriter(std::string path, FileType fileType, FakeAssetWriterScript script,
                    std::shared_ptr<FailureScript> failures, std::shared_ptr<FakeFinishJournal> journal)
        : path_(std::move(path)),
          fileType_(fileType),
          script_(std::move(script)),
          failures_(std::move(failures)),
          journal_(std::move(journal)) {}

    const std::string& outputPath() const override { return path_; }
    FileType outputFileType() const override { return fileType_; }
    bool canAddInput(const std::shared_ptr<AssetWriterInput>& input) const override;
    void addInput(std::shared_ptr<AssetWriterInput> input) override;
    std::vector<std::shared_ptr<AssetWriterInput>> inputs() const override;
    // Recorded, as the Linux writer takes it: before startWriting only, the first time.
    void prepareVideoInput(const VideoSettings& settings, FourCharCode sourcePixelFormat) override;
    bool startWriting() override;
    void startSession(MediaTime sourceTime) override;
    void endSession(MediaTime sourceTime) override;
    AssetWriterStatus status() const override;
    std::optional<PlatformError> error() const override;
    // As the Linux writer: where the samples appended before failWriting end.
    std::optional<MediaTime> failedAt() const override;
    void finishWriting() override;

    // For tests.
    std::vector<std::shared_ptr<FakeAssetWriterInput>> fakeInputs() const;
    std::optional<VideoInputHint> videoInputHint() const;
    std::optional<MediaTime> sessionStartTime() const;
    std::optional<MediaTime> sessionEndTime() const;
    int startWritingCalls() const;
    int finishWritingCalls() const;
    // Makes a writing writer fail as if encoding had failed.
    void failWriting(PlatformError error);

private:
    friend class FakeAssetWriterInput;
    bool acceptsSamples() const;  // caller holds mutex_
    // Whether the input may be added, scripted refusals of this writer's path included.
    bool admits(const std::shared_ptr<FakeAssetWriterInput>& input) const;
    // Whether the file takes a sample presented at this time after `previous`, the input's
    // last appended frame (video only); caller holds mutex_.
    bool takesAtTime(MediaType mediaType, const MediaTime& time, const std::optional<MediaTime>& previous) const;
    bool hasSamples() const;
    // Finished, or released by its user (the factory keeps it for the test): a writer
    // without a sample leaves no file, as the Linux writer.
    void removeFileIfEmpty();
    friend class FakeAssetWriters;

    const std::string path_;
    const FileType fileType_;
    const FakeAssetWriterScript script_;
    const std::shared_ptr<FailureScript> failures_;
    const std::shared_ptr<FakeFinishJournal> journal_;
    mutable std::mutex mutex_;  // guards the fields below
    AssetWriterStatus status_ = AssetWriterStatus::unknown;
    std::optional<PlatformError> error_;
    std::vector<std::shared_ptr<FakeAssetWriterInput>> inputs_;
    std::optional<MediaTime> sessionStart_;
    std::optional<MediaTime> sessionEnd_;
    std::optional<MediaTime> failedAt_;
    std::optional<VideoInputHint> videoInputHint_;
    int startWritingCalls_ = 0;
    int finishWritingCalls_ = 0;
};

class FakeAssetWriters final : public AssetWriters {
public:
    explicit FakeAssetWriters(std::shared_ptr<FailureScript> failures = std::make_shared<FailureScript>())
        : failures_(std::move(failures)) {}

    std::shared_ptr<AssetWriter> makeWriter(const std::string& path, FileType fileType) override;
    std::shared_ptr<AssetWriterInput> makeInput(MediaType mediaType, OutputSettings settings) override;
    std::optional<OutputSettingsAssistant> outputSettingsAssistant(OutputSettingsPreset preset) override;

    // Scripts: by exact path, else the default.
    void setScript(const std::string& path, FakeAssetWriterScript script);
    void setDefaultScript(FakeAssetWriterScript script);
    void setAssistantAvailable(bool available);

    // Every writer made, in order of creation.
    std::vector<std::shared_ptr<FakeAssetWriter>> writers() const;
    // The last writer made for the path, or null.
    std::shared_ptr<FakeAssetWriter> writer(const std::string& path) const;
    // Paths, in the order finishWriting was called on their writers.
    std::vector<std::string> finishOrder() const;
    // Files on the fake disk: made by writers (see above) or added by the test.
    bool fileExists(const std::string& path) const;
    void addFile(const std::string& path);
    void removeFile(const std::string& path);

private:
    const std::shared_ptr<FailureScript> failures_;
    const std::shared_ptr<FakeFinishJournal> journal_ = std::make_shared<FakeFinishJournal>();
    mutable std::mutex mutex_;  // guards the fields below
    std::map<std::string, FakeAssetWriterScript> scripts_;
    FakeAssetWriterScript defaultScript_;
    bool assistantAvailable_ = true;
    std::vector<std::shared_ptr<FakeAssetWriter>> writers_;
};

} // namespace platform::fake
