// Reading the engine's string-backed values: exact, case-sensitive matches only.

#include "Dovezode/Error.h"
#include "Dovezode/PreviewShape.h"
#include "Dovezode/VideoCodec.h"
#include "Dovezode/WebcamResolution.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace {

using Dovezode::VideoCodec;
using Dovezode::WebcamResolution;
using nlohmann::json;

TEST(VideoCodecReading, AcceptsExactlyTheFourCaseNames) {
    struct Case {
        std::string text;
        std::optional<VideoCodec> expected;
    };
    const std::vector<Case> cases = {
        {"h264", VideoCodec::h264},     {"hevc", VideoCodec::hevc},
        {"proRes422", VideoCodec::proRes422}, {"proRes4444", VideoCodec::proRes4444},
        {"ProRes4444", std::nullopt},   {"prores4444", std::nullopt},
        {"H264", std::nullopt},         {"HEVC", std::nullopt},
        {"h264 ", std::nullopt},        {"", std::nullopt},
        {"proRes", std::nullopt},       {"h265", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("\"" + c.text + "\"");
        if (c.expected) {
            EXPECT_EQ(VideoCodec::fromRawValue(c.text), *c.expected);
            EXPECT_EQ(VideoCodec::fromRawValue(c.text).caseName(), c.text);
            continue;
        }
        try {
            VideoCodec::fromRawValue(c.text);
            ADD_FAILURE() << "read a codec";
        } catch (const Dovezode::Error& error) {
            EXPECT_EQ(error.kind(), Dovezode::Error::Kind::unsupportedVideoCodec);
        }
    }
}

// One JSON value and the raw value it reads as, if any.
struct JsonCase {
    json value;
    std::optional<std::string> expected;
};

template <typename T>
void expectStrictReading(const std::vector<JsonCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.dump());
        if (c.expected) {
            T read = c.value.get<T>();
            EXPECT_EQ(read.rawValue(), *c.expected);
            EXPECT_EQ(json(read), c.value) << "writes back as its string";
            ASSERT_TRUE(T::fromRawValue(*c.expected).has_value());
            EXPECT_EQ(*T::fromRawValue(*c.expected), read);
        } else {
            EXPECT_THROW(c.value.get<T>(), json::exception);
            if (c.value.is_string()) {
                EXPECT_FALSE(T::fromRawValue(c.value.get<std::string>()).has_value());
            }
        }
    }
}

TEST(WebcamResolutionReading, AcceptsExactlyTheThreeStrings) {
    expectStrictReading<WebcamResolution>({
        {"hd720p", "hd720p"},
        {"hd1080p", "hd1080p"},
        {"uhd4K", "uhd4K"},
        {"uhd4k", std::nullopt},
        {"UHD4K", std::nullopt},
        {"HD720P", std::nullopt},
        {"hd720", std::nullopt},
        {" hd1080p", std::nullopt},
        {"", std::nullopt},
        {720, std::nullopt},
        {nullptr, std::nullopt},
        {json::array({"hd720p"}), std::nullopt},
    });
    EXPECT_EQ(json(WebcamResolution(WebcamResolution::hd1080p)).dump(), "\"hd1080p\"");
}

TEST(PreviewShapeReading, AcceptsExactlyTheThreeStrings) {
    expectStrictReading<PreviewShape>({
        {"original", "original"},
        {"square", "square"},
        {"rounded", "rounded"},
        {"Original", std::nullopt},
        {"ROUNDED", std::nullopt},
        {"circle", std::nullopt},
        {"", std::nullopt},
        {true, std::nullopt},
        {json::object({{"previewMode", "square"}}), std::nullopt},
    });
}

TEST(WebcamResolutionReading, ReadsInsideARequestObject) {
    auto request = json::parse(R"({"webcamResolution": "uhd4K", "other": 1})");
    EXPECT_EQ(request.at("webcamResolution").get<WebcamResolution>(), WebcamResolution::uhd4K);
    auto wrongCase = json::parse(R"({"webcamResolution": "Hd720p"})");
    EXPECT_THROW(wrongCase.at("webcamResolution").get<WebcamResolution>(), json::exception);
}

} // namespace
