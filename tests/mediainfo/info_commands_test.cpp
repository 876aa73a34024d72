// The "info" and "infos" commands in-process, and the one-shot program.

#include "Tavrik/InfoCommands.h"
#include "Tavrik/InteractiveMode.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/Output.h"
#include "Tavrik/Tavrik.h"
#include "platform/linux/linux_platform.h"

#include "fixtures.h"

#include "captured_output.h"
#include "fixed_lines.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <mutex>
#include <vector>

using nlohmann::json;

namespace {

class InfoCommands : public testing::Test {
protected:
    void SetUp() override {
        platform::install(platform::linux_backend::makeLinuxPlatform());
        tavrik::setOutput(sink_);
    }
    void TearDown() override { tavrik::setOutput(nullptr); }

    std::vector<json> replies() {
        std::vector<json> parsed;
        for (const auto& line : sink_->lines()) parsed.push_back(json::parse(line));
        return parsed;
    }

    std::shared_ptr<test_support::CapturedOutput> sink_ = std::make_shared<test_support::CapturedOutput>();
};

} // namespace

TEST_F(InfoCommands, EmptyArgumentsAnswerAnError) {
    tavrik::handleInfo("");
    tavrik::handleInfos("");
    auto lines = replies();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["event"], "error");
    EXPECT_EQ(lines[0]["message"], "No path provided");
    EXPECT_EQ(lines[0]["code"], "INVALID_COMMAND");
    EXPECT_EQ(lines[1]["message"], "No paths provided");
    EXPECT_EQ(lines[1]["code"], "INVALID_COMMAND");
}

TEST_F(InfoCommands, InfoAnswersOneBareObject) {
    const std::string& clip = fixtures::path("m4v");
    tavrik::handleInfo(clip);
    tavrik::handleInfo("   ");
    auto lines = sink_->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\\/"), std::string::npos) << "slashes are escaped: " << lines[0];
    json reply = json::parse(lines[0]);
    EXPECT_FALSE(reply.contains("event"));
    EXPECT_FALSE(reply.contains("timestamp"));
    EXPECT_EQ(reply["path"], clip);
    EXPECT_EQ(reply["info"]["type"], "video");
    EXPECT_EQ(json::parse(lines[1]), (json{{"path", ""}, {"error", "file not found: "}})) << "spaces are a path";
}

TEST_F(InfoCommands, InfosSplitsTrimsAndKeepsBlankPieces) {
    const std::string& song = fixtures::path("flac");
    const std::string& clip = fixtures::path("mp4");
    struct Case {
        std::string argument;
        std::vector<std::string> paths;
    };
    const Case cases[] = {
        {song + ", " + clip, {song, clip}},
        {",,,", {}},
        {",\t" + song + ",, ,", {song, ""}},
        {clip + "," + clip + " ", {clip, clip}},
    };
    for (const auto& c : cases) {
        sink_ = std::make_shared<test_support::CapturedOutput>();
        tavrik::setOutput(sink_);
        tavrik::handleInfos(c.argument);
        auto lines = sink_->lines();
        ASSERT_EQ(lines.size(), 1u) << c.argument;
        json reply = json::parse(lines[0]);
        ASSERT_TRUE(reply.is_array());
        ASSERT_EQ(reply.size(), c.paths.size()) << c.argument;
        for (size_t i = 0; i < c.paths.size(); ++i) EXPECT_EQ(reply[i]["path"], c.paths[i]);
    }
}

TEST_F(InfoCommands, InteractiveLoopDispatchesInfoAndInfos) {
    const std::string& song = fixtures::path("ogg-opus");
    test_support::FixedLines input({"INFO " + song, "info", "infos " + song + "," + song, "infos", "quit"});
    tavrik::InteractiveMode(input, platform::installed()).run();
    auto lines = sink_->lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "kalvesta-recorder v0.1.0");
    EXPECT_EQ(json::parse(lines[1])["event"], "ready");
    EXPECT_EQ(json::parse(lines[2])["info"]["codec"], "opus") << "the word is matched in any case";
    EXPECT_EQ(json::parse(lines[3])["message"], "No path provided");
    json both = json::parse(lines[4]);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0], both[1]);
    EXPECT_EQ(json::parse(lines[5])["message"], "No paths provided");
}

namespace {

// A copy of a fixture under another name, in the fixtures' directory.
std::string copyNamed(const std::string& fixture, const std::string& name) {
    std::string target = fixtures::directory() + "/" + name;
    std::filesystem::copy_file(fixtures::path(fixture), target, std::filesystem::copy_options::overwrite_existing);
    return target;
}

} // namespace

TEST_F(InfoCommands, NamesThatAreNotUtf8AreAnsweredWithReplacementCharacters) {
    // Linux names are bytes: a Latin-1 "é" and a stray 0xFF are valid names.
    std::string latin1 = copyNamed("m4a-aac", "caf\xe9.m4a");
    std::string good = copyNamed("m4a-aac", "caf\u00e9.m4a");
    std::string missing = fixtures::directory() + "/gone\xff\xfe.mp3";
    std::string shown = fixtures::directory() + "/caf\uFFFD.m4a";

    tavrik::handleInfo(latin1);
    tavrik::handleInfos(good + "," + latin1 + "," + missing);
    auto lines = sink_->lines();
    ASSERT_EQ(lines.size(), 2u) << "every request gets its reply";
    json one = json::parse(lines[0]);
    EXPECT_EQ(one["path"], shown);
    EXPECT_EQ(one["info"]["codec"], "aac") << "the file itself is read by its real name";

    json many = json::parse(lines[1]);
    ASSERT_EQ(many.size(), 3u);
    EXPECT_EQ(many[0]["path"], good);
    EXPECT_EQ(many[0]["info"]["codec"], "aac");
    EXPECT_EQ(many[1], one);
    EXPECT_EQ(many[2]["path"], fixtures::directory() + "/gone\uFFFD\uFFFD.mp3");
    EXPECT_EQ(many[2]["error"], "file not found: " + fixtures::directory() + "/gone\uFFFD\uFFFD.mp3");
}

// No Linux file name holds a NUL: a path with one names no file, whatever its
// part before the NUL names, and the reply keeps the whole trimmed path.
TEST_F(InfoCommands, APathHoldingANulNamesNoFile) {
    using namespace std::string_literals;
    std::string nul = copyNamed("mp3", "nul");
    const std::string& clip = fixtures::path("mp4");
    struct Case {
        std::string argument;
        std::string path;
    };
    const Case cases[] = {
        {nul + "\0.mp4"s, nul + "\0.mp4"s},
        {clip + "\0"s, clip + "\0"s},
        {clip + "\0.mp4"s, clip + "\0.mp4"s},
        {"/etc/hostname\0.mp3"s, "/etc/hostname\0.mp3"s},
        {"/nonexistent\0.mp3"s, "/nonexistent\0.mp3"s},
        {" \t" + clip + "\0/../x.mp4 "s, clip + "\0/../x.mp4"s},
        {"\0"s, "\0"s},
    };
    std::string all;
    for (const auto& c : cases) {
        tavrik::handleInfo(c.argument);
        all += c.argument + ",";
    }
    tavrik::handleInfos(all + clip);
    auto lines = replies();
    ASSERT_EQ(lines.size(), std::size(cases) + 1);
    const json& many = lines.back();
    ASSERT_EQ(many.size(), std::size(cases) + 1);
    for (size_t i = 0; i < std::size(cases); ++i) {
        json expected{{"path", cases[i].path}, {"error", "file not found: " + cases[i].path}};
        EXPECT_EQ(lines[i], expected) << "info " << testing::PrintToString(cases[i].argument);
        EXPECT_EQ(many[i], expected) << "infos " << testing::PrintToString(cases[i].argument);
    }
    EXPECT_EQ(many.back()["info"]["type"], "video") << "the file itself, named without a NUL";
}

TEST_F(InfoCommands, ComposedAndDecomposedSpellingsAreDifferentFiles) {
    std::string composed = copyNamed("m4a-aac", "r\u00e9sum\u00e9.m4a");
    std::string decomposed = fixtures::directory() + "/re\u0301sume\u0301.m4a";
    tavrik::handleInfos(decomposed + "," + composed + ", " + composed);
    auto lines = sink_->lines();
    ASSERT_EQ(lines.size(), 1u);
    json reply = json::parse(lines[0]);
    ASSERT_EQ(reply.size(), 3u);
    EXPECT_EQ(reply[0], (json{{"path", decomposed}, {"error", "file not found: " + decomposed}}));
    EXPECT_EQ(reply[1]["path"], composed);
    EXPECT_EQ(reply[1]["info"]["type"], "audio");
    EXPECT_EQ(reply[2], reply[1]) << "equal after trimming: one file";
}

TEST(OneShot, InfosWithANameThatIsNotUtf8StillAnswersEveryFile) {
    std::string latin1 = copyNamed("mp3", "chanson-\xe0.mp3");
    const std::string& song = fixtures::path("flac");
    std::string output = fixtures::run(std::string(TAVRIK_BINARY) + " infos " +
                                       fixtures::shellQuoted(song + "," + latin1) + " </dev/null");
    ASSERT_FALSE(output.empty()) << "the reply is written";
    json reply = json::parse(output);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[0]["info"]["codec"], "flac");
    EXPECT_EQ(reply[1]["path"], fixtures::directory() + "/chanson-\uFFFD.mp3");
    EXPECT_EQ(reply[1]["info"]["type"], "audio");
}

TEST(OneShot, InfoPrintsOneLineWithoutBannerOrReady) {
    const std::string& song = fixtures::path("m4a-aac");
    std::string output = fixtures::run(std::string(TAVRIK_BINARY) + " Info " + fixtures::shellQuoted(song) + " </dev/null");
    ASSERT_FALSE(output.empty());
    EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
    json reply = json::parse(output);
    EXPECT_EQ(reply["path"], song);
    EXPECT_EQ(reply["info"]["codec"], "aac");

    output = fixtures::run(std::string(TAVRIK_BINARY) + " infos " +
                           fixtures::shellQuoted(song + "," + fixtures::directory() + "/missing.mp3") + " </dev/null");
    reply = json::parse(output);
    ASSERT_EQ(reply.size(), 2u);
    EXPECT_EQ(reply[1]["error"], "file not found: " + fixtures::directory() + "/missing.mp3");

    output = fixtures::run(std::string(TAVRIK_BINARY) + " info </dev/null");
    reply = json::parse(output);
    EXPECT_EQ(reply["event"], "error");
    EXPECT_EQ(reply["message"], "No path provided");
}
