#include "Dovezode/Error.h"

#include <array>
#include <cstdio>

namespace Dovezode {
namespace {

// Indexed by Error::Kind.
constexpr std::array<const char*, 14> kCaseNames = {
    "targetNotFound",
    "couldNotAddInput",
    "couldNotStartStream",
    "microphoneNotFound",
    "unsupportedFileExtension",
    "invalidFileExtension",
    "unknown",
    "webcamNotFound",
    "recorderAlreadyStarted",
    "recorderNotStarted",
    "noTargetProvided",
    "noDisplaysConnected",
    "noPermissions",
    "unsupportedVideoCodec",
};

// A string as a value's textual form shows it: in quotes, with quotes,
// backslashes and control characters escaped.
std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escaped[12];
                    std::snprintf(escaped, sizeof escaped, "\\u{%x}", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string message(Error::Kind kind, const Error::Payload& payload) {
    using Kind = Error::Kind;
    auto text = [&] { return std::get<std::string>(payload); };
    switch (kind) {
        case Kind::targetNotFound: return "Target with id " + text() + " not found.";
        case Kind::couldNotAddInput: return "Could not add " + text() + " input.";
        case Kind::couldNotStartStream: {
            const auto& cause = std::get<std::optional<WrappedError>>(payload);
            if (!cause) return "Could not start recording.";
            // An engine cause contributes its own message, any other cause the platform's text.
            if (const Error* inner = cause->engineError()) {
                return "Could not start recording: " + inner->localizedDescription();
            }
            return "Could not start recording: " + cause->localizedDescription();
        }
        case Kind::microphoneNotFound: return "Microphone with id " + text() + " not found";
        case Kind::unsupportedFileExtension: {
            const auto& unsupported = std::get<Error::UnsupportedExtension>(payload);
            if (unsupported.audioRequired) {
                return "Invalid file extension. Only .m4a is supported for audio recordings. Got " +
                       unsupported.fileExtension + ".";
            }
            return "Invalid file extension. Only .mp4, .mov and .m4v are supported for video recordings. Got " +
                   unsupported.fileExtension + ".";
        }
        case Kind::invalidFileExtension: {
            const auto& invalid = std::get<Error::InvalidExtension>(payload);
            return "Invalid file extension. ." + invalid.fileExtension + " does not support " + invalid.codecName + ".";
        }
        case Kind::unknown:
            return "An unknown error has occurred: " + std::get<WrappedError>(payload).localizedDescription();
        case Kind::webcamNotFound: return "Webcam not found";
        case Kind::recorderAlreadyStarted:
            return "Recorder has already started. Each recorder instance can only be started once.";
        case Kind::recorderNotStarted: return "Recorder needs to be started first.";
        case Kind::noTargetProvided: return "No target provider.";
        case Kind::noDisplaysConnected: return "At least one display must be connected.";
        case Kind::noPermissions: return "Missing screen capture permissions.";
        case Kind::unsupportedVideoCodec: return "VideoCodec not supported.";
    }
    return {};
}

struct PayloadText {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(const std::string& text) const { return quoted(text); }
    std::string operator()(const std::optional<WrappedError>& cause) const {
        return cause ? cause->textualDescription() : "nil";
    }
    std::string operator()(const WrappedError& cause) const { return cause.textualDescription(); }
    std::string operator()(const Error::UnsupportedExtension& payload) const {
        return quoted(payload.fileExtension) + ", " + (payload.audioRequired ? "true" : "false");
    }
    std::string operator()(const Error::InvalidExtension& payload) const {
        return quoted(payload.fileExtension) + ", " + quoted(payload.codecName);
    }
};

} // namespace

WrappedError::WrappedError(const Error& error) : error_(std::make_shared<const Error>(error)) {}

WrappedError::WrappedError(const platform::PlatformError& error)
    : error_(std::make_shared<const platform::PlatformError>(error)) {}

const Error* WrappedError::engineError() const {
    auto engine = std::get_if<std::shared_ptr<const Error>>(&error_);
    return engine ? engine->get() : nullptr;
}

const platform::PlatformError* WrappedError::platformError() const {
    auto platformError = std::get_if<std::shared_ptr<const platform::PlatformError>>(&error_);
    return platformError ? platformError->get() : nullptr;
}

std::string WrappedError::localizedDescription() const {
    if (const Error* engine = engineError()) return engine->genericLocalizedDescription();
    return platformError()->localizedDescription();
}

std::string WrappedError::textualDescription() const {
    if (const Error* engine = engineError()) return engine->textualDescription();
    return platformError()->description();
}

Error::Error(Kind kind, Payload payload)
    : kind_(kind), payload_(std::move(payload)), message_(message(kind_, payload_)) {}

Error Error::targetNotFound(std::string targetID) { return {Kind::targetNotFound, std::move(targetID)}; }
Error Error::couldNotAddInput(std::string name) { return {Kind::couldNotAddInput, std::move(name)}; }
Error Error::couldNotStartStream(std::optional<WrappedError> cause) {
    return {Kind::couldNotStartStream, std::move(cause)};
}
Error Error::microphoneNotFound(std::string deviceID) { return {Kind::microphoneNotFound, std::move(deviceID)}; }
Error Error::unsupportedFileExtension(std::string fileExtension, bool audioRequired) {
    return {Kind::unsupportedFileExtension, UnsupportedExtension{std::move(fileExtension), audioRequired}};
}
Error Error::invalidFileExtension(std::string fileExtension, std::string codecName) {
    return {Kind::invalidFileExtension, InvalidExtension{std::move(fileExtension), std::move(codecName)}};
}
Error Error::unknown(const platform::PlatformError& cause) { return {Kind::unknown, WrappedError(cause)}; }
Error Error::webcamNotFound(std::string deviceID) { return {Kind::webcamNotFound, std::move(deviceID)}; }
Error Error::recorderAlreadyStarted() { return {Kind::recorderAlreadyStarted, {}}; }
Error Error::recorderNotStarted() { return {Kind::recorderNotStarted, {}}; }
Error Error::noTargetProvided() { return {Kind::noTargetProvided, {}}; }
Error Error::noDisplaysConnected() { return {Kind::noDisplaysConnected, {}}; }
Error Error::noPermissions() { return {Kind::noPermissions, {}}; }
Error Error::unsupportedVideoCodec() { return {Kind::unsupportedVideoCodec, {}}; }

const char* Error::caseName() const { return kCaseNames.at(static_cast<std::size_t>(kind_)); }

const std::string& Error::text() const {
    static const std::string none;
    const auto* text = std::get_if<std::string>(&payload_);
    return text ? *text : none;
}

const WrappedError* Error::cause() const {
    if (const auto* optional = std::get_if<std::optional<WrappedError>>(&payload_)) {
        return *optional ? &**optional : nullptr;
    }
    return std::get_if<WrappedError>(&payload_);
}

std::string Error::textualDescription() const {
    if (std::holds_alternative<std::monostate>(payload_)) return caseName();
    return std::string(caseName()) + "(" + std::visit(PayloadText{}, payload_) + ")";
}

std::string Error::genericLocalizedDescription() const {
    // The platform's text for an error type that supplies no message of its own:
    // the module-qualified type name and the case number.
    return "The operation couldn\u2019t be completed. (Dovezode.Dovezode.Error error " + std::to_string(caseNumber()) +
           ".)";
}

} // namespace Dovezode
