#include "MediaInfo/AudioProbe.h"
#include "MediaInfo/FourCharCodeText.h"
#include "MediaInfo/IntegerConversion.h"
#include "MediaInfo/MediaTypeDetection.h"
#include "MediaInfo/PathText.h"
#include "MediaInfo/VideoProbe.h"

#include "scripted_media_assets.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace mediainfo;

TEST(RationalString, KnownRatesAndRounding) {
    const std::pair<double, const char*> cases[] = {
        {double(29.97f), "30000/1001"}, {23.976, "24000/1001"}, {23.98, "24000/1001"}, {24.0, "24/1"},
        {25, "25/1"}, {30, "30/1"}, {29.975, "30000/1001"}, {47.952, "48000/1001"}, {48, "48/1"},
        {50, "50/1"}, {59.94, "60000/1001"}, {60.009, "60/1"}, {120, "120/1"},
        {15, "15/1"}, {12.5, "13/1"}, {0, "0/1"}, {23.9, "24/1"}, {-2.5, "-3/1"},
        // Values without an integer form give 0 rather than undefined behaviour.
        {std::nan(""), "0/1"}, {INFINITY, "0/1"}, {1e300, "0/1"},
    };
    for (const auto& [rate, text] : cases) EXPECT_EQ(rationalString(rate), text) << rate;
}

TEST(IntegerConversion, TruncatesRoundsAndGivesZeroOutOfRange) {
    EXPECT_EQ(truncatedToInt64(1919.9), 1919);
    EXPECT_EQ(truncatedToInt64(-3.7), -3);
    EXPECT_EQ(roundedToInt64(300.6), 301);
    EXPECT_EQ(roundedToInt64(2.5), 3);
    EXPECT_EQ(roundedToInt64(-2.5), -3);
    for (double bad : {std::nan(""), double(INFINITY), -double(INFINITY), 9.3e18, -9.3e18, 9.2233720368547758e18}) {
        EXPECT_EQ(truncatedToInt64(bad), 0) << bad;
        EXPECT_EQ(roundedToInt64(bad), 0) << bad;
    }
    EXPECT_EQ(truncatedToInt64(-9.2233720368547758e18), std::numeric_limits<int64_t>::min());
}

TEST(ChannelLayoutName, TagsWinOverCountsAndUnknownTagsFallBack) {
    struct Case {
        std::optional<uint32_t> tag;
        int64_t channels;
        const char* name;
    };
    const Case cases[] = {
        {std::nullopt, 1, "mono"}, {std::nullopt, 2, "stereo"}, {std::nullopt, 6, "6ch"}, {std::nullopt, 0, "0ch"},
        {0x640001, 1, "mono"}, {0x650002, 6, "stereo"}, {0x710003, 3, "surround"}, {0x720003, 3, "surround"},
        {0x790006, 6, "5.1"}, {0x7A0006, 6, "5.1"}, {0x7B0006, 6, "5.1"}, {0x7C0006, 6, "5.1"},
        {0x7D0007, 7, "6.1"}, {0x7E0008, 8, "7.1"}, {0x7F0008, 8, "7.1"}, {0x800008, 8, "7.1"},
        {0x850003, 3, "2.1"},
        {0x6C0004, 4, "4ch"},                   // quadraphonic: not named
        {0x10000, 2, "stereo"},                 // layout given by a bitmap
        {0, 1, "mono"},                         // layout given by channel descriptions
    };
    for (const auto& c : cases) EXPECT_EQ(channelLayoutName(c.tag, c.channels), c.name) << std::hex << c.tag.value_or(0);
}

TEST(CodecNames, FourCharCodesToText) {
    using platform::fourCharCode;
    EXPECT_EQ(fourCharCodeText(fourCharCode("avc1")), "avc1");
    EXPECT_EQ(fourCharCodeText(fourCharCode("hvc1")), "hvc1");
    EXPECT_EQ(fourCharCodeText(0x00006162), "ab") << "zero bytes are left out";
    EXPECT_EQ(fourCharCodeText(0x61ff6263), "unknown") << "not ASCII";
    EXPECT_EQ(fourCharCodeText(0), "unknown") << "no code at all";

    const std::pair<platform::FourCharCode, const char*> audio[] = {
        {fourCharCode("mp4a"), "aac"}, {fourCharCode("lpcm"), "pcm_s16le"}, {fourCharCode("ulaw"), "pcm_mulaw"},
        {fourCharCode("alaw"), "pcm_alaw"}, {fourCharCode("alac"), "alac"}, {fourCharCode(".mp3"), ".mp3"},
        {fourCharCode("MP3 ") & 0xffffff00u, "mp3"}, {0x61633300, "ac3"}, {fourCharCode("fLaC"), "flac"},
    };
    for (const auto& [code, name] : audio) EXPECT_EQ(audioCodecName(code), name) << std::hex << code;
}

TEST(SampleFormatName, FromFlagsAndBits) {
    struct Case {
        uint32_t flags;
        uint32_t bits;
        const char* name;
    };
    const Case cases[] = {
        {0, 16, "s16"}, {0x20, 16, "s16p"}, {0x1 | 0x20, 32, "fltp"}, {0x1, 32, "flt"}, {0, 0, "s0"},
        {0x4 | 0x8, 24, "s24"},  // signed or not, packed or not: only float and interleaving count
        {0x2 | 0x1, 64, "flt"},
    };
    for (const auto& c : cases) EXPECT_EQ(sampleFormatName(c.flags, c.bits), c.name);
}

TEST(PixelFormatName, FromDepthExtension) {
    auto with = [](std::optional<platform::ExtensionValue> depth) {
        platform::FormatDescription format;
        if (depth) format.extensions["Depth"] = *depth;
        return pixelFormatName(&format);
    };
    EXPECT_EQ(with(int64_t{24}), "yuv420p");
    EXPECT_EQ(with(int64_t{32}), "yuv32");
    EXPECT_EQ(with(16.0), "yuv16");
    EXPECT_EQ(with(24.5), "unknown");
    EXPECT_EQ(with(std::string("24")), "unknown");
    EXPECT_EQ(with(std::nullopt), "unknown");
    EXPECT_EQ(pixelFormatName(nullptr), "unknown");
}

TEST(PathText, TrimAndExtension) {
    EXPECT_EQ(trimmedPath(" \t\u00a0/a b.mp4\u3000 "), "/a b.mp4");
    EXPECT_EQ(trimmedPath("/a.mp4\n"), "/a.mp4\n") << "line breaks stay";
    std::string spaced = "\t a a\u2003";
    std::string_view view = trimmedPathView(spaced);
    EXPECT_EQ(view, "a a");
    EXPECT_EQ(view.data(), spaced.data() + 2) << "a view into the path";
    EXPECT_EQ(trimmedPathView("  "), "");
    EXPECT_EQ(trimmedPathView(" \xff.mp4 "), "\xff.mp4") << "bytes that are not UTF-8 stay as they are";

    const std::pair<const char*, const char*> extensions[] = {
        {"/x/CLIP.MP4", "MP4"}, {"movie.mkv.txt", "txt"}, {"README", ""}, {"/x.y/README", ""},
        {"/x/folder.mp4/", "mp4"}, {"name.", ""},
    };
    for (const auto& [path, extension] : extensions) EXPECT_EQ(pathExtension(path), extension) << path;
}

TEST(PathText, ValidUtf8TextReplacesEachBadByte) {
    const std::pair<std::string, std::string> cases[] = {
        {"caf\u00e9.mp4", "caf\u00e9.mp4"},
        {"bad\xff.mp4", "bad\uFFFD.mp4"},
        {"\xfe\xff", "\uFFFD\uFFFD"},
        // A lead byte cut short, then an ASCII byte: the lead alone is replaced.
        {"a\xc3(b", "a\uFFFD(b"},
        // Latin-1 "é" in a name written by an older system.
        {"caf\xe9.mp3", "caf\uFFFD.mp3"},
        // An overlong encoding of "/" is not UTF-8: two bad bytes.
        {"\xc0\xaf", "\uFFFD\uFFFD"},
        {"", ""},
    };
    for (const auto& [raw, valid] : cases) EXPECT_EQ(validUtf8Text(raw), valid) << raw;
}

TEST(DetectMediaType, ExtensionTablesDecideWithoutReadingTheFile) {
    ScriptedMediaAssets assets;  // nothing scripted: any load would fail
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"CLIP.MP4", "video"}, {"a.mov", "video"}, {"a.avi", "video"}, {"a.flv", "video"}, {"a.wmv", "video"},
        {"a.m4v", "video"}, {"song.Flac", "audio"}, {"a.mp3", "audio"}, {"a.m4a", "audio"}, {"a.ogg", "audio"},
        {"a.wav", "audio"}, {"a.aac", "audio"}, {"a.opus", "audio"}, {"a.wma", "audio"},
        {"movie.mkv.txt", std::nullopt}, {"noextension", std::nullopt}, {"a.MKV", std::nullopt},
    };
    for (const auto& [path, type] : cases) EXPECT_EQ(detectMediaType(path, assets), type) << path;
    EXPECT_EQ(assets.loads, 1) << "only the mkv was opened";
}

TEST(DetectMediaType, WebmAndMkvAreDecidedByTheirTracks) {
    ScriptedMediaAssets assets;
    auto oneSecond = seconds(1, 1);
    assets.add("both.webm", assetOf(oneSecond, {audioTrack(), videoTrack()}));
    assets.add("audio.mkv", assetOf(oneSecond, {audioTrack()}));
    assets.add("empty.mkv", assetOf(oneSecond, {}));
    assets.fail("broken.webm", platform::PlatformError(platform::kMediaAssetErrorDomain, -1, "Cannot Open"));
    EXPECT_EQ(detectMediaType("both.webm", assets), "video");
    EXPECT_EQ(detectMediaType("audio.mkv", assets), "audio");
    EXPECT_EQ(detectMediaType("empty.mkv", assets), std::nullopt);
    EXPECT_EQ(detectMediaType("broken.webm", assets), std::nullopt);

    // A load that ran out of time is no proof of an empty file: it is reported as a timeout.
    assets.fail("slow.mkv", platform::PlatformError(platform::kMediaAssetErrorDomain, platform::mediaAssetTimedOut,
                                                    "Timed Out"));
    try {
        detectMediaType("slow.mkv", assets);
        ADD_FAILURE() << "a timed-out load was taken for a file without tracks";
    } catch (const platform::PlatformError& error) {
        EXPECT_EQ(error.code(), platform::mediaAssetTimedOut);
    }
}
