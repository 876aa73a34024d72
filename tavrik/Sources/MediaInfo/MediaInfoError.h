#pragma once
// The prober's own failures, each with the message that a result reports.

#include <stdexcept>
#include <string>

namespace mediainfo {

class MediaInfoError : public std::runtime_error {
public:
    enum class Kind { fileNotFound, unsupportedExtension, loadFailed, noVideoTrack, noAudioTrack };

    static MediaInfoError fileNotFound(const std::string& path) { return {Kind::fileNotFound, path}; }
    static MediaInfoError unsupportedExtension(const std::string& extension) {
        return {Kind::unsupportedExtension, extension};
    }
    static MediaInfoError loadFailed(const std::string& reason) { return {Kind::loadFailed, reason}; }
    static MediaInfoError noVideoTrack() { return {Kind::noVideoTrack, {}}; }
    static MediaInfoError noAudioTrack() { return {Kind::noAudioTrack, {}}; }

    Kind kind() const { return kind_; }
    // The whole message text. what() holds it too, but only up to a NUL the
    // payload (a path, an extension) may hold.
    const std::string& message() const { return message_; }

private:
    MediaInfoError(Kind kind, const std::string& payload)
        : std::runtime_error(messageFor(kind, payload)), kind_(kind), message_(messageFor(kind, payload)) {}
    static std::string messageFor(Kind kind, const std::string& payload);

    Kind kind_;
    std::string message_;
};

} // namespace mediainfo
