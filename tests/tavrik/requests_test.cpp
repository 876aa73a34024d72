#include "Tavrik/Requests.h"

#include <gtest/gtest.h>

using namespace tavrik;

namespace {

const std::string kBase = R"("sig":"pqwdnzruvb83617x92h5k4tc","outputPath":"/tmp/a.mp4")";

std::string request(const std::string& extra = {}) { return "{" + kBase + (extra.empty() ? "" : "," + extra) + "}"; }

} // namespace

TEST(RecordConfigDecoding, AcceptsAndRefusesAsTheRulesSay) {
    struct Case {
        const char* name;
        std::string text;
        bool decodes;
    };
    const Case cases[] = {
        {"complete minimal request", request(), true},
        {"empty object lacks the required fields", "{}", false},
        {"not an object", "[1]", false},
        {"not JSON", "start", false},
        {"required field null", R"({"sig":null,"outputPath":"/a.mp4"})", false},
        {"required field of the wrong type", R"({"sig":1,"outputPath":"/a.mp4"})", false},
        {"extra keys ignored", request(R"("whatever":[1,{"x":2}])"), true},
        {"null optional is absent", request(R"("fps":null)"), true},
        {"fractional fps", request(R"("fps":30.5)"), false},
        {"fps as a string", request(R"("fps":"30")"), false},
        {"whole float fps", request(R"("fps":30.0)"), true},
        {"fps zero cannot be recorded", request(R"("fps":0)"), false},
        {"fps beyond 32 bits", request(R"("fps":2147483648)"), false},
        {"fps at the 32-bit limit", request(R"("fps":2147483647)"), true},
        {"boolean given as a number", request(R"("showCursor":1)"), false},
        {"boolean given as a string", request(R"("systemAudio":"true")"), false},
        {"excludedProcessID beyond 32 bits", request(R"("excludedProcessID":3000000000)"), false},
        {"excludedProcessID negative", request(R"("excludedProcessID":-5)"), true},
        {"webcamResolution exact", request(R"("webcamResolution":"uhd4K")"), true},
        {"webcamResolution in capitals", request(R"("webcamResolution":"HD720P")"), false},
        {"cropRect", request(R"("cropRect":[[0,0],[640,480]])"), true},
        {"cropRect as an object", request(R"("cropRect":{"x":0})"), false},
        {"cropRect missing its size", request(R"("cropRect":[[0,0]])"), false},
        {"cropRect negative size", request(R"("cropRect":[[0,0],[-1,480]])"), false},
        {"cropRect too large to count in pixels", request(R"("cropRect":[[0,0],[1e300,480]])"), false},
        {"microphoneQuality empty", request(R"("microphoneQuality":{})"), true},
        {"microphoneQuality with a bad member", request(R"("microphoneQuality":{"bitRate":"x"})"), false},
        {"microphoneQuality not an object", request(R"("microphoneQuality":5)"), false},
        {"number for a string field", request(R"("displayID":1)"), false},
        {"nesting deeper than allowed", request(R"("x":)" + std::string(65, '[') + std::string(65, ']')), false},
        {"nesting at the limit", request(R"("x":)" + std::string(63, '[') + std::string(63, ']')), true},
        {"oversized request", request(R"("x":")" + std::string(kMaxRequestBytes, 'a') + "\""), false},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeRecordConfig(c.text).has_value(), c.decodes) << c.name;
}

TEST(RecordConfigDecoding, ReadsEveryField) {
    auto config = decodeRecordConfig(request(
        R"("fps":60,"showCursor":false,"systemAudio":true,"displayID":"","microphoneID":"mic",)"
        R"("micOutputPath":"/m.m4a","sysOutputPath":"/s.m4a","cropRect":[[1.5,2],[640,480]],)"
        R"("losslessAudio":true,"excludedProcessID":42,"webcamID":"cam","webcamOutputPath":"/c.mov",)"
        R"("microphoneQuality":{"sampleRate":44100},"webcamResolution":"hd1080p")"));
    ASSERT_TRUE(config);
    EXPECT_EQ(config->fps, 60);
    EXPECT_EQ(config->showCursor, false);
    EXPECT_EQ(config->systemAudio, true);
    EXPECT_EQ(config->displayID, "");
    EXPECT_EQ(config->microphoneID, "mic");
    EXPECT_EQ(config->micOutputPath, "/m.m4a");
    EXPECT_EQ(config->sysOutputPath, "/s.m4a");
    ASSERT_TRUE(config->cropRect);
    EXPECT_EQ(config->cropRect->origin.x, 1.5);
    EXPECT_EQ(config->cropRect->size.width, 640);
    EXPECT_EQ(config->cropRect->size.height, 480);
    EXPECT_EQ(config->losslessAudio, true);
    EXPECT_EQ(config->excludedProcessID, 42);
    EXPECT_EQ(config->webcamID, "cam");
    EXPECT_EQ(config->webcamOutputPath, "/c.mov");
    ASSERT_TRUE(config->microphoneQuality);
    EXPECT_EQ(config->microphoneQuality->sampleRate, 44100);
    EXPECT_FALSE(config->microphoneQuality->bitRate);
    EXPECT_EQ(config->webcamResolution, Dovezode::WebcamResolution::hd1080p);
}

TEST(PreviewConfigDecoding, ShapesAreStrict) {
    EXPECT_TRUE(decodePreviewConfig("{}"));
    auto rounded = decodePreviewConfig(R"({"previewMode":"rounded","webcamID":"c"})");
    ASSERT_TRUE(rounded);
    EXPECT_EQ(rounded->previewMode, PreviewShape::rounded);
    EXPECT_FALSE(decodePreviewConfig(R"({"previewMode":"Rounded"})"));
    EXPECT_FALSE(decodePreviewConfig(R"({"previewMode":"circle"})"));
    EXPECT_FALSE(decodePreviewConfig(R"({"microphoneID":7})"));
}

TEST(RecordConfigChecks, FirstFailingCheckWins) {
    struct Case {
        const char* name;
        std::string text;
        RequestKind kind;
        std::optional<std::string> message;
        std::string code;
    };
    const std::string wrongSig = R"({"sig":"nope","outputPath":"/a.mp4")";
    const Case cases[] = {
        {"passes", request(), RequestKind::start, std::nullopt, ""},
        {"wrong sig", wrongSig + "}", RequestKind::start, "unknown error", "ERROR_STARTING"},
        {"wrong sig and microphone without path", wrongSig + R"(,"microphoneID":"m"})", RequestKind::start,
         "unknown error", "ERROR_STARTING"},
        {"sig differing in case", R"({"sig":"PQWDNZRUVB83617X92H5K4TC","outputPath":"/a.mp4"})",
         RequestKind::start, "unknown error", "ERROR_STARTING"},
        {"wrong sig on resume is fine", wrongSig + "}", RequestKind::resume, std::nullopt, ""},
        {"both path rules broken", request(R"("microphoneID":"m","systemAudio":true)"), RequestKind::start,
         "micOutputPath is required when microphoneID is set", "INVALID_CONFIG"},
        {"system audio without path", request(R"("systemAudio":true)"), RequestKind::resume,
         "sysOutputPath is required when systemAudio is enabled", "INVALID_CONFIG"},
        {"system audio off without path", request(R"("systemAudio":false)"), RequestKind::start, std::nullopt, ""},
        {"paths without devices", request(R"("micOutputPath":"/m.m4a","webcamID":"c")"), RequestKind::start,
         std::nullopt, ""},
    };
    for (const auto& c : cases) {
        auto config = decodeRecordConfig(c.text);
        ASSERT_TRUE(config) << c.name;
        auto refusal = checkRecordConfig(*config, c.kind);
        ASSERT_EQ(refusal.has_value(), c.message.has_value()) << c.name;
        if (refusal) {
            EXPECT_EQ(refusal->message, *c.message) << c.name;
            EXPECT_EQ(refusal->code, c.code) << c.name;
        }
    }
}
