// The prober on damaged media files, with its real limits (probe size, bit-rate
// budget, the wall-clock deadline of one load): it must answer, never crash, and
// its answer must be writable as the "info" reply.
//
// Input: a selector byte choosing the file's extension, then the file's bytes.

#include "MediaInfo/MediaInfo.h"
#include "MediaInfo/MediaInfoJson.h"
#include "Tavrik/JsonWriter.h"

#include "platform/linux/linux_platform.h"
#include "platform/platform.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr std::array<const char*, 12> kExtensions = {"mp4", "mov", "m4v", "m4a", "mp3", "wav",
                                                     "ogg", "flac", "aac", "mkv", "webm", "avi"};

std::string temporaryFolder;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    platform::install(platform::linux_backend::makeLinuxPlatform());
    char pattern[] = "/tmp/prober-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    temporaryFolder = pattern;
    std::atexit([] { rmdir(temporaryFolder.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string path = temporaryFolder + "/input." + kExtensions[data[0] % kExtensions.size()];
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size > 1) std::fwrite(data + 1, 1, size - 1, file);
    std::fclose(file);
    auto result = mediainfo::getMediaInfo(path);
    // The reply's numbers come from the file: whatever it holds, the reply is written.
    if (!tavrik::writeJson(mediainfo::toJson(result))) std::abort();
    std::remove(path.c_str());
    return 0;
}
