#include "media_asset/sample_table_claims.h"

#include "media_asset/budgeted_file.h"
#include "media_asset/iso_box_reading.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

namespace platform::linux_backend {
namespace {

constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > kUnbounded - b ? kUnbounded : a + b; }

uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? kUnbounded : product;
}

// Audio of a constant sample size is indexed by chunk, a chunk in pieces of at
// least this many samples.
constexpr uint64_t kFewestSamplesInAPiece = 160;
// A compressed movie header is unpacked up to the read budget, and looked into
// this many levels deep (a compressed header inside one).
constexpr int kCompressedHeaderDepth = 2;

// The sample encryption box of PIFF files, a `uuid` box read as `senc`.
constexpr uint8_t kPiffSampleEncryption[16] = {0xa2, 0x39, 0x4f, 0x52, 0x5a, 0x9b, 0x4f, 0x14,
                                               0xa2, 0x44, 0x6c, 0x42, 0x7c, 0x64, 0x8d, 0xf4};

// What one track's boxes state (the largest of each, a later box replacing an earlier one).
struct TrackClaim {
    uint64_t samples = 0;
    uint64_t chunks = 0;
    uint64_t samplesPerChunk = 0;
    uint64_t edits = 0;
    // Uncompressed audio is indexed by chunk piece, whatever its sample count says.
    bool indexedByChunk = false;

    // Entries indexed by sample or by chunk piece, once for each edit.
    uint64_t entries() const {
        uint64_t piecesPerChunk = (samplesPerChunk + kFewestSamplesInAPiece - 1) / kFewestSamplesInAPiece;
        uint64_t pieces = saturatingMultiply(chunks, piecesPerChunk);
        uint64_t indexed = indexedByChunk ? pieces : std::max(samples, pieces);
        return saturatingMultiply(indexed, std::max<uint64_t>(edits, 1));
    }
};

// Whether the demuxer surely indexes the track by chunk: its media handler says
// sound and its one time-to-sample run gives every sample a duration of 1. The
// track's own handler and time table prove it; every other handler or time
// table found anywhere in the track must agree, since the demuxer may read any
// of them last.
bool indexedByChunk(BoxSpan trak) {
    auto handler = descendant(trak, {fourcc("mdia"), fourcc("hdlr")});
    auto times = descendant(trak, {fourcc("mdia"), fourcc("minf"), fourcc("stbl"), fourcc("stts")});
    if (!handler || handler->size < 12 || be32(handler->payload + 8) != fourcc("soun") || !times) return false;
    bool agreed = true;
    // Handlers of data references and metadata leave the kind of the track as it is.
    forEachMatch(trak, fourcc("hdlr"), [&](BoxSpan other) {
        if (other.size < 12) return;
        switch (be32(other.payload + 8)) {
        case fourcc("vide"): case fourcc("subp"): case fourcc("clcp"):
        case fourcc("text"): case fourcc("sbtl"): case fourcc("subt"):
            agreed = false;
            break;
        default:
            break;
        }
    });
    forEachMatch(trak, fourcc("stts"), [&](BoxSpan other) {
        agreed = agreed && other.size >= 16 && be32(other.payload + 4) == 1 && be32(other.payload + 12) == 1;
    });
    return agreed;
}

// Tables of fixed-size entries count only the entries their box holds.
uint64_t entriesHeld(uint64_t stated, size_t available, size_t tableStart, size_t entryBytes) {
    if (available <= tableStart) return 0;
    return std::min<uint64_t>(stated, (available - tableStart) / entryBytes);
}

// Finds the boxes that feed the index anywhere in the bytes it is given: the
// demuxer reads such a box wherever its parents let it, so every match counts.
// A box's counts come from the bytes present, its stated size bounding them.
class ClaimScanner {
public:
    // `budget`: the bytes a load may read; as many may be unpacked, and the
    // bytes looked at again (tables, a track's proof) are a few times that.
    explicit ClaimScanner(size_t budget) : unpackLeft_(budget), lookAgainLeft_(uint64_t{budget} * 4) {}

    void scan(const uint8_t* data, size_t size, int depth = 0) {
        for (size_t at = 0; at + 8 <= size; ++at) {
            uint32_t type = be32(data + at + 4);
            if (!feedsTheIndex(type)) continue;
            size_t rest = size - at;
            auto header = readBoxHeader(data + at, rest, rest);
            if (!header) continue;
            size_t available = static_cast<size_t>(std::min<uint64_t>(header->size, rest)) - header->length;
            onBox(type, data + at + header->length, available, depth);
        }
    }

    uint64_t total() {
        finishTrack();
        return total_;
    }

private:
    static bool feedsTheIndex(uint32_t type) {
        switch (type) {
        case fourcc("trak"):
        case fourcc("stsz"):
        case fourcc("stz2"):
        case fourcc("stsc"):
        case fourcc("stco"):
        case fourcc("co64"):
        case fourcc("elst"):
        case fourcc("trun"):
        case fourcc("senc"):
        case fourcc("uuid"):
        case fourcc("cmvd"):
            return true;
        default:
            return false;
        }
    }

    void onBox(uint32_t type, const uint8_t* box, size_t available, int depth) {
        switch (type) {
        case fourcc("trak"):
            finishTrack();
            track_.indexedByChunk = lookAgain(available) && indexedByChunk(BoxSpan{box, available});
            break;
        case fourcc("stsz"):
            if (available < 12) break;
            // A constant size states the count alone; otherwise a size a sample.
            track_.samples = std::max<uint64_t>(
                track_.samples, be32(box + 4) != 0 ? be32(box + 8) : entriesHeld(be32(box + 8), available, 12, 4));
            break;
        case fourcc("stz2"):
            if (available < 12) break;
            if (uint8_t bits = box[7]; bits == 4 || bits == 8 || bits == 16)
                track_.samples = std::max<uint64_t>(
                    track_.samples, std::min<uint64_t>(be32(box + 8), uint64_t{available - 12} * 8 / bits));
            break;
        case fourcc("stsc"): {
            if (available < 8) break;
            uint64_t runs = entriesHeld(be32(box + 4), available, 8, 12);
            if (!lookAgain(runs * 12)) {
                track_.samplesPerChunk = std::numeric_limits<uint32_t>::max();
                break;
            }
            for (uint64_t run = 0; run < runs; ++run)
                track_.samplesPerChunk = std::max<uint64_t>(track_.samplesPerChunk, be32(box + 8 + run * 12 + 4));
            break;
        }
        case fourcc("stco"):
        case fourcc("co64"):
            if (available < 8) break;
            track_.chunks = std::max(track_.chunks,
                                     entriesHeld(be32(box + 4), available, 8, type == fourcc("stco") ? 4 : 8));
            break;
        case fourcc("elst"):
            if (available < 8) break;
            track_.edits = std::max(track_.edits, entriesHeld(be32(box + 4), available, 8, box[0] == 1 ? 20 : 12));
            break;
        case fourcc("trun"):
            if (available >= 8) onFragmentRun(box, available);
            break;
        case fourcc("uuid"):
            if (available >= 16 + 8 && std::memcmp(box, kPiffSampleEncryption, 16) == 0)
                onEncryptedSamples(box + 16);
            break;
        case fourcc("senc"):
            if (available >= 8) onEncryptedSamples(box);
            break;
        case fourcc("cmvd"):
            if (available >= 4) onCompressedHeader(be32(box), box + 4, available - 4, depth);
            break;
        default:
            break;
        }
    }

    // Samples of a fragment run: as many as its fields hold, or every stated one
    // when it has no per-sample field.
    void onFragmentRun(const uint8_t* box, size_t available) {
        uint32_t flags = be32(box) & 0xffffff;
        uint64_t stated = be32(box + 4);
        size_t fieldsStart = 8 + ((flags & 0x1) ? 4 : 0) + ((flags & 0x4) ? 4 : 0);
        size_t sampleBytes = 4 * static_cast<size_t>(std::popcount(flags & 0xf00));
        addEntries(sampleBytes == 0 ? stated : entriesHeld(stated, available, fieldsStart, sampleBytes));
    }

    // Encryption records are made for every stated sample, whether or not the box holds its fields.
    void onEncryptedSamples(const uint8_t* box) { addEntries(be32(box + 4)); }

    // The demuxer unpacks a compressed movie header and reads it as any other: its
    // boxes count. One that unpacks to more than a load may read, or holds
    // another inside, is refused whole.
    void onCompressedHeader(uint64_t statedSize, const uint8_t* packed, size_t packedSize, int depth) {
        std::vector<uint8_t> unpacked;
        if (depth >= kCompressedHeaderDepth || !unpack(packed, packedSize, statedSize, unpacked)) {
            addEntries(kUnbounded);
            return;
        }
        scan(unpacked.data(), unpacked.size(), depth + 1);
    }

    // Inflates up to the stated size (the demuxer's buffer); false when that
    // goes past what is left of the unpacking budget.
    bool unpack(const uint8_t* packed, size_t packedSize, uint64_t statedSize, std::vector<uint8_t>& unpacked) {
        z_stream stream{};
        if (inflateInit(&stream) != Z_OK) return true;
        stream.next_in = const_cast<uint8_t*>(packed);
        stream.avail_in = static_cast<uInt>(std::min<size_t>(packedSize, std::numeric_limits<uInt>::max()));
        const uint64_t cap = std::min<uint64_t>(statedSize, uint64_t{unpackLeft_} + 1);
        constexpr uint64_t kStep = 64 << 10;
        while (unpacked.size() < cap) {
            size_t start = unpacked.size();
            unpacked.resize(start + static_cast<size_t>(std::min(kStep, cap - start)));
            stream.next_out = unpacked.data() + start;
            stream.avail_out = static_cast<uInt>(unpacked.size() - start);
            int status = inflate(&stream, Z_NO_FLUSH);
            unpacked.resize(unpacked.size() - stream.avail_out);
            if (status != Z_OK) break;  // the end, damage, or no input left
        }
        inflateEnd(&stream);
        if (unpacked.size() > unpackLeft_) return false;
        unpackLeft_ -= unpacked.size();
        return true;
    }

    void finishTrack() {
        addEntries(track_.entries());
        track_ = {};
    }

    void addEntries(uint64_t entries) { total_ = saturatingAdd(total_, entries); }

    // Boxes found inside boxes make the same bytes looked at again: the total is
    // bounded, so that a header of overlapping tables cannot take quadratic time.
    // Past the bound a table counts at its worst.
    bool lookAgain(uint64_t bytes) {
        if (bytes > lookAgainLeft_) return false;
        lookAgainLeft_ -= bytes;
        return true;
    }

    size_t unpackLeft_;
    uint64_t lookAgainLeft_;
    TrackClaim track_;
    uint64_t total_ = 0;
};

// Top-level boxes the demuxer reads that are, or can hold, what feeds the index.
// It steps over the others unread (media data, unknown kinds), and so does the
// count: a box of many megabytes before the movie header must not spend the
// bytes the count may look at.
bool feedsTheIndexAtTopLevel(uint32_t type) {
    switch (type) {
    case fourcc("moov"): case fourcc("hoov"): case fourcc("moof"): case fourcc("cmov"):
    case fourcc("trak"): case fourcc("mdia"): case fourcc("minf"): case fourcc("stbl"):
    case fourcc("stsd"): case fourcc("stsz"): case fourcc("stz2"): case fourcc("stsc"):
    case fourcc("stco"): case fourcc("co64"): case fourcc("edts"): case fourcc("elst"):
    case fourcc("mvex"): case fourcc("traf"): case fourcc("trun"): case fourcc("senc"):
    case fourcc("udta"): case fourcc("meta"): case fourcc("ilst"): case fourcc("wave"):
    case fourcc("sinf"): case fourcc("schi"): case fourcc("dinf"): case fourcc("tref"):
    case fourcc("tapt"): case fourcc("clip"): case fourcc("matt"):
        return true;
    default:
        return false;
    }
}

// Whether the top-level box at `offset` is read for what feeds the index:
// padding is when it holds a movie header (the demuxer takes it for one), a
// `uuid` box when it is PIFF's sample encryption.
// Small looks at the file (box headers, the start of a padding box) are read
// through a window of the file, so that a file of millions of small boxes costs
// one read a window rather than two a box. Larger looks go to the file itself.
class PeekWindow {
public:
    explicit PeekWindow(BudgetedFile& file) : file_(file), window_(kBytes) {}

    // As BudgetedFile::peek: fewer bytes at the end of the file, -1 on a read
    // error or once the load is late.
    int64_t peek(int64_t offset, uint8_t* buffer, size_t size) {
        if (size > kBytes / 2) return file_.peek(offset, buffer, size);
        if (offset < start_ || offset - start_ + static_cast<int64_t>(size) > length_) {
            int64_t got = file_.peek(offset, window_.data(), window_.size());
            start_ = offset;
            length_ = std::max<int64_t>(got, 0);
            if (got < 0) return -1;
        }
        auto count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), length_ - (offset - start_)));
        std::memcpy(buffer, window_.data() + (offset - start_), count);
        return static_cast<int64_t>(count);
    }

private:
    static constexpr size_t kBytes = 64 * 1024;
    BudgetedFile& file_;
    std::vector<uint8_t> window_;
    int64_t start_ = 0;
    int64_t length_ = 0;
};

bool worthLookingInto(PeekWindow& file, int64_t offset, int64_t headerSize, uint32_t type) {
    if (feedsTheIndexAtTopLevel(type)) return true;
    uint8_t start[16];
    if (type == fourcc("free") || type == fourcc("skip") || type == fourcc("wide"))
        return file.peek(offset + headerSize, start, 8) == 8 &&
               (be32(start + 4) == fourcc("mvhd") || be32(start + 4) == fourcc("cmov"));
    if (type == fourcc("uuid"))
        return file.peek(offset + headerSize, start, 16) == 16 &&
               std::memcmp(start, kPiffSampleEncryption, sizeof start) == 0;
    return false;
}

} // namespace

uint64_t claimedIndexEntries(BudgetedFile& file) {
    const MediaAssetLimits& limits = file.limits();
    ClaimScanner scanner(static_cast<size_t>(limits.readBudgetBytes));
    PeekWindow window(file);
    std::vector<uint8_t> box;
    int64_t offset = 0;
    int64_t looked = 0;
    while (offset <= file.size() - 8 && looked < limits.readBudgetBytes) {
        uint8_t header[16];
        int64_t got = window.peek(offset, header, sizeof header);
        if (got < 0) break;
        auto boxHeader = readBoxHeader(header, static_cast<size_t>(got), static_cast<uint64_t>(file.size() - offset));
        if (!boxHeader) break;
        const uint64_t size = boxHeader->size;
        const auto headerSize = static_cast<int64_t>(boxHeader->length);
        const uint32_t type = boxHeader->type;
        if (!worthLookingInto(window, offset, headerSize, type)) {
            looked += headerSize;
        } else {
            int64_t wanted = static_cast<int64_t>(std::min<uint64_t>(
                {size, static_cast<uint64_t>(limits.readBudgetBytes - looked), static_cast<uint64_t>(file.size() - offset)}));
            if (looked + wanted > limits.lightReadBytes) file.becomeHeavy();
            box.resize(static_cast<size_t>(wanted));
            got = file.peek(offset, box.data(), box.size());
            if (got < 0) break;
            looked += std::max<int64_t>(got, headerSize);
            scanner.scan(box.data(), static_cast<size_t>(got));
        }
        if (size > static_cast<uint64_t>(file.size() - offset)) break;
        offset += static_cast<int64_t>(size);
    }
    return scanner.total();
}

bool claimsFitTheFile(uint64_t entries, int64_t storedBytes) {
    constexpr uint64_t kAlwaysAllowed = uint64_t{1} << 20;
    constexpr uint64_t kNeverAllowed = uint64_t{8} << 20;
    uint64_t allowed = std::clamp<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(storedBytes, 0)) / 8,
                                            kAlwaysAllowed, kNeverAllowed);
    return entries <= allowed;
}

} // namespace platform::linux_backend
