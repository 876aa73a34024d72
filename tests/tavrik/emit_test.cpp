#include "Tavrik/Emit.h"
#include "Tavrik/Output.h"

#include "captured_output.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

namespace {

class EmitTest : public ::testing::Test {
protected:
    void SetUp() override { tavrik::setOutput(sink_); }
    void TearDown() override { tavrik::setOutput(nullptr); }
    std::shared_ptr<test_support::CapturedOutput> sink_ = std::make_shared<test_support::CapturedOutput>();
};

} // namespace

TEST_F(EmitTest, BaseMembersAndDataMerge) {
    tavrik::emit("ready", {{"message", "Recorder is ready"}});
    tavrik::emit("started", {{"timestamp", int64_t{1765353600123}}});
    tavrik::emit("paused", {{"timestamp", ""}, {"message", {{"screen", 1999}, {"mic", nullptr}}}});
    auto lines = sink_->lines();
    ASSERT_EQ(lines.size(), 3u);

    auto ready = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(ready["event"], "ready");
    EXPECT_TRUE(ready["timestamp"].is_number_float());
    EXPECT_NEAR(ready["timestamp"].get<double>(), tavrik::secondsSince1970(), 60);

    auto started = nlohmann::json::parse(lines[1]);
    EXPECT_TRUE(started["timestamp"].is_number_integer());
    EXPECT_EQ(started["timestamp"], 1765353600123);

    auto paused = nlohmann::json::parse(lines[2]);
    EXPECT_EQ(paused["timestamp"], "");
    EXPECT_TRUE(paused["message"]["mic"].is_null());
    EXPECT_EQ(paused["message"]["screen"], 1999);
}

TEST_F(EmitTest, MultiLineTextStaysOnOneLineAndSlashesAreEscaped) {
    tavrik::emit("devices", {{"audios", "[\n  {\n    \"id\" : \"a/b\"\n  }\n]"}});
    auto lines = sink_->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].find('\n'), std::string::npos);
    EXPECT_NE(lines[0].find(R"(\"a\/b\")"), std::string::npos) << lines[0];
    EXPECT_EQ(nlohmann::json::parse(lines[0])["audios"], "[\n  {\n    \"id\" : \"a/b\"\n  }\n]");
}

TEST_F(EmitTest, UnwritableDataWritesNothing) {
    tavrik::emit("error", {{"message", std::numeric_limits<double>::infinity()}});
    tavrik::emit("error", {{"message", std::string("\xC3")}});
    EXPECT_TRUE(sink_->lines().empty());
}

TEST(EmitConcurrency, LinesFromManyThreadsNeverMixInAPipe) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::FILE* writeEnd = fdopen(fds[1], "w");
    tavrik::setOutput(std::make_shared<tavrik::StreamSink>(writeEnd));

    constexpr int kThreads = 8;
    constexpr int kLinesEach = 500;
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n;
        while ((n = read(fds[0], chunk, sizeof chunk)) > 0) received.append(chunk, static_cast<size_t>(n));
    });
    std::vector<std::thread> writers;
    // Long members make each line larger than a pipe's atomic write size.
    const std::string padding(5000, 'x');
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t, &padding] {
            for (int i = 0; i < kLinesEach; ++i) tavrik::emit("tick", {{"thread", t}, {"index", i}, {"pad", padding}});
        });
    }
    for (auto& writer : writers) writer.join();
    tavrik::setOutput(nullptr);
    std::fclose(writeEnd);
    reader.join();
    close(fds[0]);

    std::vector<int> nextIndex(kThreads, 0);
    size_t start = 0;
    int count = 0;
    while (start < received.size()) {
        size_t end = received.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        auto line = nlohmann::json::parse(received.substr(start, end - start));
        int thread = line["thread"];
        EXPECT_EQ(line["index"], nextIndex[thread]++);  // each thread's lines keep their order
        start = end + 1;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLinesEach);
}
