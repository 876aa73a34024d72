#pragma once
// The capture engine's error: fourteen cases, each with a fixed message.
//
// Three texts:
// - localizedDescription(): the engine's own message of the case;
// - textualDescription(): the value written out, case name then payload
//   values in parentheses ("targetNotFound(\"42\")"), as failures of engine
//   operations are reported;
// - genericLocalizedDescription(): the platform's fixed text for an error of
//   this type, naming the type and the case number, for callers that treat the
//   error like any other error.

#include "platform/error.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace Dovezode {

class Error;

// A shared reference to an error another one wraps: an engine error or a platform error.
class WrappedError {
public:
    WrappedError(const Error& error);
    WrappedError(const platform::PlatformError& error);

    // Null unless the wrapped error is of that kind.
    const Error* engineError() const;
    const platform::PlatformError* platformError() const;

    // The user-facing text the platform gives for the error: a platform error's
    // localized description, an engine error's generic one.
    std::string localizedDescription() const;
    // An engine error's textual form, a platform error's full description.
    std::string textualDescription() const;

private:
    std::variant<std::shared_ptr<const Error>, std::shared_ptr<const platform::PlatformError>> error_;
};

class Error : public std::exception {
public:
    // In declaration order; the order gives the case numbers, from 0.
    enum class Kind {
        targetNotFound,
        couldNotAddInput,
        couldNotStartStream,
        microphoneNotFound,
        unsupportedFileExtension,
        invalidFileExtension,
        unknown,
        webcamNotFound,
        recorderAlreadyStarted,
        recorderNotStarted,
        noTargetProvided,
        noDisplaysConnected,
        noPermissions,
        unsupportedVideoCodec,
    };

    // Payload of unsupportedFileExtension.
    struct UnsupportedExtension {
        std::string fileExtension;  // without the dot; empty when the file has none
        bool audioRequired;         // an audio file (".m4a") was required
    };
    // Payload of invalidFileExtension.
    struct InvalidExtension {
        std::string fileExtension;
        std::string codecName;  // the codec the container cannot hold
    };
    // Per kind: nothing; a string (the identifier or input name); an optional
    // cause (couldNotStartStream); the cause (unknown); the extension payloads.
    using Payload = std::variant<std::monostate, std::string, std::optional<WrappedError>, WrappedError,
                                 UnsupportedExtension, InvalidExtension>;

    // The identifier that matched no display, window or device.
    static Error targetNotFound(std::string targetID);
    // The name of the input or output that was refused.
    static Error couldNotAddInput(std::string name);
    static Error couldNotStartStream(std::optional<WrappedError> cause = std::nullopt);
    static Error microphoneNotFound(std::string deviceID);
    static Error unsupportedFileExtension(std::string fileExtension, bool audioRequired);
    static Error invalidFileExtension(std::string fileExtension, std::string codecName);
    static Error unknown(const platform::PlatformError& cause);
    static Error webcamNotFound(std::string deviceID);
    static Error recorderAlreadyStarted();
    static Error recorderNotStarted();
    static Error noTargetProvided();
    static Error noDisplaysConnected();
    static Error noPermissions();
    static Error unsupportedVideoCodec();

    Kind kind() const { return kind_; }
    int caseNumber() const { return static_cast<int>(kind_); }
    const char* caseName() const;
    const Payload& payload() const { return payload_; }
    // The string payload of targetNotFound, couldNotAddInput, microphoneNotFound
    // and webcamNotFound; empty for the other kinds.
    const std::string& text() const;
    // The wrapped error of couldNotStartStream and unknown; null when there is none.
    const WrappedError* cause() const;

    std::string localizedDescription() const { return message_; }
    std::string textualDescription() const;
    std::string genericLocalizedDescription() const;

    // The engine's message, as localizedDescription().
    const char* what() const noexcept override { return message_.c_str(); }

private:
    Error(Kind kind, Payload payload);

    Kind kind_;
    Payload payload_;
    std::string message_;
};

} // namespace Dovezode
