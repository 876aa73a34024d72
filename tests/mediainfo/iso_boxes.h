#pragma once
// ISO base media files (mp4, mov) written box by box, for headers that state
// what no recorder would: the sample tables of a track, its edits, a fragment's
// run, a compressed movie header.

#include <cstdint>
#include <string>

namespace iso_boxes {

std::string box(const char* type, const std::string& payload);
std::string fullBox(const char* type, uint32_t versionAndFlags, const std::string& payload);
std::string u32(uint32_t value);

// One track's header: every sample `sampleSize` bytes long (0: no size table)
// and one time unit long, `chunks` chunks of `samplesPerChunk` samples, the
// first at `firstChunkOffset` and each following right after the one before.
// Without samples, its tables are empty.
struct Track {
    bool sound = false;
    uint32_t samples = 0;
    uint32_t sampleSize = 1;
    uint32_t samplesPerChunk = 1;
    uint32_t chunks = 1;
    uint32_t firstChunkOffset = 0;
    // Entries of its edit list, each showing the whole track again (0: no list).
    uint32_t edits = 0;
};

std::string movieHeader();
std::string track(const Track& track);
// `moov` holding the movie header and the given boxes.
std::string movie(const std::string& boxes);
// A file type box, then the given top-level boxes.
std::string file(const std::string& topLevelBoxes);
// A movie box whose header is the given `moov` box compressed with zlib.
std::string compressedMovie(const std::string& moov);

} // namespace iso_boxes
