#include "iso_boxes.h"

#include <zlib.h>

#include <stdexcept>

namespace iso_boxes {
namespace {

std::string u16(uint16_t value) { return {static_cast<char>(value >> 8), static_cast<char>(value)}; }

std::string zeros(size_t count) { return std::string(count, '\0'); }

// A 64×64 JPEG video entry or a 16-bit mono PCM sound entry at 48 kHz.
std::string sampleDescription(bool sound) {
    std::string entry = zeros(6) + u16(1);
    if (sound) {
        entry += zeros(8) + u16(1) + u16(16) + zeros(4) + u32(48000u << 16);
        return fullBox("stsd", 0, u32(1) + box("sowt", entry));
    }
    entry += zeros(16) + u16(64) + u16(64) + u32(0x480000) + u32(0x480000) + zeros(4) + u16(1) + zeros(32) +
             u16(24) + u16(0xffff);
    return fullBox("stsd", 0, u32(1) + box("jpeg", entry));
}

std::string sampleTable(const Track& track) {
    if (track.samples == 0)
        return box("stbl", sampleDescription(track.sound) + fullBox("stts", 0, u32(0)) + fullBox("stsc", 0, u32(0)) +
                               fullBox("stsz", 0, u32(0) + u32(0)) + fullBox("stco", 0, u32(0)));
    std::string offsets;
    for (uint32_t chunk = 0; chunk < track.chunks; ++chunk)
        offsets += u32(track.firstChunkOffset + chunk * track.samplesPerChunk * track.sampleSize);
    return box("stbl", sampleDescription(track.sound) + fullBox("stts", 0, u32(1) + u32(track.samples) + u32(1)) +
                           fullBox("stsc", 0, u32(1) + u32(1) + u32(track.samplesPerChunk) + u32(1)) +
                           fullBox("stsz", 0, u32(track.sampleSize) + u32(track.samples)) +
                           fullBox("stco", 0, u32(track.chunks) + offsets));
}

} // namespace

std::string u32(uint32_t value) { return u16(static_cast<uint16_t>(value >> 16)) + u16(static_cast<uint16_t>(value)); }

std::string box(const char* type, const std::string& payload) {
    return u32(static_cast<uint32_t>(8 + payload.size())) + type + payload;
}

std::string fullBox(const char* type, uint32_t versionAndFlags, const std::string& payload) {
    return box(type, u32(versionAndFlags) + payload);
}

std::string movieHeader() {
    std::string matrix = u32(0x10000) + zeros(12) + u32(0x10000) + zeros(12) + u32(0x40000000);
    return fullBox("mvhd", 0, zeros(8) + u32(1000) + u32(1000) + u32(0x10000) + u16(0x100) + zeros(10) + matrix +
                                  zeros(24) + u32(2));
}

std::string track(const Track& track) {
    uint32_t timeScale = track.sound ? 48000 : 1000;
    std::string trackHeader = fullBox("tkhd", 3, zeros(8) + u32(1) + zeros(4) + u32(1000) + zeros(52) +
                                                     u32(track.sound ? 0 : 64u << 16) + u32(track.sound ? 0 : 64u << 16));
    std::string edits;
    if (track.edits > 0) {
        std::string entries;
        for (uint32_t edit = 0; edit < track.edits; ++edit) entries += u32(track.samples) + u32(0) + u32(0x10000);
        edits = box("edts", fullBox("elst", 0, u32(track.edits) + entries));
    }
    std::string mediaHeader = fullBox("mdhd", 0, zeros(8) + u32(timeScale) + u32(track.samples) + zeros(4));
    std::string handler = fullBox("hdlr", 0, zeros(4) + (track.sound ? "soun" : "vide") + zeros(12) + "h");
    std::string mediaInformation = track.sound ? fullBox("smhd", 0, zeros(4)) : fullBox("vmhd", 1, zeros(8));
    return box("trak", trackHeader + edits +
                           box("mdia", mediaHeader + handler + box("minf", mediaInformation + sampleTable(track))));
}

std::string movie(const std::string& boxes) { return box("moov", movieHeader() + boxes); }

std::string file(const std::string& topLevelBoxes) {
    return box("ftyp", std::string("isom") + zeros(4) + "isom") + topLevelBoxes;
}

std::string compressedMovie(const std::string& moov) {
    uLongf packedSize = compressBound(moov.size());
    std::string packed(packedSize, '\0');
    if (compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(moov.data()),
                 moov.size()) != Z_OK)
        throw std::runtime_error("zlib could not compress the movie header");
    packed.resize(packedSize);
    return box("moov", box("cmov", box("dcom", "zlib") + box("cmvd", u32(static_cast<uint32_t>(moov.size())) + packed)));
}

} // namespace iso_boxes
