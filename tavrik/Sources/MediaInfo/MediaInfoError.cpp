#include "MediaInfo/MediaInfoError.h"

namespace mediainfo {

std::string MediaInfoError::messageFor(Kind kind, const std::string& payload) {
    switch (kind) {
    case Kind::fileNotFound: return "file not found: " + payload;
    case Kind::unsupportedExtension: return "unsupported or unrecognised extension: " + payload;
    case Kind::loadFailed: return "failed to load asset: " + payload;
    case Kind::noVideoTrack: return "no video track found";
    case Kind::noAudioTrack: return "no audio track found";
    }
    return {};
}

} // namespace mediainfo
