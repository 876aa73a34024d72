// Texts of the engine's errors: the message, the textual form and the
// platform's generic text, for every case.

#include "Dovezode/Error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Dovezode::Error;

const platform::PlatformError kStreamFailure{"com.example.StreamErrorDomain", -3805, "The stream was interrupted.",
                                             "Error Domain=com.example.StreamErrorDomain Code=-3805 \"The stream "
                                             "was interrupted.\" UserInfo={reason=display gone}"};

struct TextCase {
    std::string label;
    Error error;
    int caseNumber;
    std::string message;
    std::string textual;
};

std::vector<TextCase> textCases() {
    const std::string streamText = kStreamFailure.localizedDescription();
    const std::string streamDescription = kStreamFailure.description();
    return {
        {"targetNotFound", Error::targetNotFound("42"), 0, "Target with id 42 not found.", "targetNotFound(\"42\")"},
        {"couldNotAddInput", Error::couldNotAddInput("microphone"), 1, "Could not add microphone input.",
         "couldNotAddInput(\"microphone\")"},
        {"couldNotStartStream without cause", Error::couldNotStartStream(), 2, "Could not start recording.",
         "couldNotStartStream(nil)"},
        {"couldNotStartStream around an engine error",
         Error::couldNotStartStream(Error::couldNotAddInput("systemAudio")), 2,
         "Could not start recording: Could not add systemAudio input.",
         "couldNotStartStream(couldNotAddInput(\"systemAudio\"))"},
        {"couldNotStartStream nested", Error::couldNotStartStream(Error::couldNotStartStream()), 2,
         "Could not start recording: Could not start recording.", "couldNotStartStream(couldNotStartStream(nil))"},
        {"couldNotStartStream around a platform error", Error::couldNotStartStream(kStreamFailure), 2,
         "Could not start recording: " + streamText, "couldNotStartStream(" + streamDescription + ")"},
        {"microphoneNotFound", Error::microphoneNotFound("mic-1"), 3, "Microphone with id mic-1 not found",
         "microphoneNotFound(\"mic-1\")"},
        {"unsupportedFileExtension audio", Error::unsupportedFileExtension("mp3", true), 4,
         "Invalid file extension. Only .m4a is supported for audio recordings. Got mp3.",
         "unsupportedFileExtension(\"mp3\", true)"},
        {"unsupportedFileExtension video", Error::unsupportedFileExtension("avi", false), 4,
         "Invalid file extension. Only .mp4, .mov and .m4v are supported for video recordings. Got avi.",
         "unsupportedFileExtension(\"avi\", false)"},
        {"unsupportedFileExtension empty", Error::unsupportedFileExtension("", false), 4,
         "Invalid file extension. Only .mp4, .mov and .m4v are supported for video recordings. Got .",
         "unsupportedFileExtension(\"\", false)"},
        {"invalidFileExtension", Error::invalidFileExtension("mp4", "proRes422"), 5,
         "Invalid file extension. .mp4 does not support proRes422.", "invalidFileExtension(\"mp4\", \"proRes422\")"},
        {"unknown", Error::unknown(kStreamFailure), 6, "An unknown error has occurred: " + streamText,
         "unknown(" + streamDescription + ")"},
        {"webcamNotFound", Error::webcamNotFound("cam-9"), 7, "Webcam not found", "webcamNotFound(\"cam-9\")"},
        {"recorderAlreadyStarted", Error::recorderAlreadyStarted(), 8,
         "Recorder has already started. Each recorder instance can only be started once.", "recorderAlreadyStarted"},
        {"recorderNotStarted", Error::recorderNotStarted(), 9, "Recorder needs to be started first.",
         "recorderNotStarted"},
        {"noTargetProvided", Error::noTargetProvided(), 10, "No target provider.", "noTargetProvided"},
        {"noDisplaysConnected", Error::noDisplaysConnected(), 11, "At least one display must be connected.",
         "noDisplaysConnected"},
        {"noPermissions", Error::noPermissions(), 12, "Missing screen capture permissions.", "noPermissions"},
        {"unsupportedVideoCodec", Error::unsupportedVideoCodec(), 13, "VideoCodec not supported.",
         "unsupportedVideoCodec"},
        {"string payload with quotes and a line break", Error::targetNotFound("a\"b\\c\nd"), 0,
         "Target with id a\"b\\c\nd not found.", "targetNotFound(\"a\\\"b\\\\c\\nd\")"},
    };
}

TEST(ErrorTexts, EveryCaseHasItsMessageTextualFormAndGenericText) {
    for (const auto& c : textCases()) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(c.error.caseNumber(), c.caseNumber);
        EXPECT_EQ(c.error.localizedDescription(), c.message);
        EXPECT_STREQ(c.error.what(), c.message.c_str());
        EXPECT_EQ(c.error.textualDescription(), c.textual);
        EXPECT_EQ(c.error.genericLocalizedDescription(),
                  "The operation couldn\u2019t be completed. (Dovezode.Dovezode.Error error " +
                      std::to_string(c.caseNumber) + ".)");
    }
}

TEST(ErrorTexts, PlatformTextOfAWrappedEngineErrorIsTheGenericOne) {
    // Seen as any error, an engine error gives only the generic text; only
    // couldNotStartStream looks inside for the engine's own message.
    Dovezode::WrappedError wrapped(Error::webcamNotFound("cam"));
    EXPECT_EQ(wrapped.localizedDescription(),
              "The operation couldn\u2019t be completed. (Dovezode.Dovezode.Error error 7.)");
    EXPECT_EQ(wrapped.textualDescription(), "webcamNotFound(\"cam\")");
}

TEST(ErrorValues, CarryTheirPayloadsAndSurviveBeingThrownAndCopied) {
    auto inner = Error::unsupportedFileExtension("", true);
    try {
        throw Error::couldNotStartStream(inner);
    } catch (const std::exception& thrown) {
        const auto* error = dynamic_cast<const Error*>(&thrown);
        ASSERT_NE(error, nullptr);
        Error copy = *error;
        EXPECT_EQ(copy.kind(), Error::Kind::couldNotStartStream);
        ASSERT_NE(copy.cause(), nullptr);
        ASSERT_NE(copy.cause()->engineError(), nullptr);
        EXPECT_EQ(copy.cause()->platformError(), nullptr);
        const auto& payload = std::get<Error::UnsupportedExtension>(copy.cause()->engineError()->payload());
        EXPECT_EQ(payload.fileExtension, "");
        EXPECT_TRUE(payload.audioRequired);
    }
    EXPECT_EQ(Error::couldNotStartStream().cause(), nullptr);
    EXPECT_EQ(Error::unknown(kStreamFailure).cause()->platformError()->code(), -3805);
    EXPECT_EQ(Error::microphoneNotFound("m").text(), "m");
    EXPECT_EQ(Error::noPermissions().text(), "");
}

} // namespace
