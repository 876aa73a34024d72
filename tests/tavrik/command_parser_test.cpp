#include "Tavrik/CommandParser.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/Text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>
#include <thread>

#include <pthread.h>
#include <unistd.h>

using tavrik::parseCommand;

TEST(CommandParser, SplitsTrimsAndLowerCases) {
    struct Case {
        const char* line;
        const char* word;
        std::optional<std::string> argument;
    };
    const Case cases[] = {
        {"start {}", "start", "{}"},
        {"STOP", "stop", std::nullopt},
        {"Info /Tmp/A.mp4", "info", "/Tmp/A.mp4"},
        {"info  spaced", "info", " spaced"},
        {"\t start {\"a\": 1}  \t", "start", "{\"a\": 1}"},
        {"\xC2\xA0quit\xE2\x80\x83", "quit", std::nullopt},       // no-break and em space trimmed
        {"start\t{}", "start\t{}", std::nullopt},                  // a tab does not separate
        {"DEVICES SCREENS", "devices", "SCREENS"},                 // only the word is lower-cased
        {"\xC3\x89TAT x", "\xC3\xA9tat", "x"},                     // full Unicode lower-casing
        {"stop\r", "stop\r", std::nullopt},                        // a lone carriage return stays
        {"a b c", "a", "b c"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        ASSERT_TRUE(parsed) << c.line;
        EXPECT_EQ(parsed->word, c.word) << c.line;
        EXPECT_EQ(parsed->argument, c.argument) << c.line;
    }
}

TEST(CommandParser, BlankLinesHaveNoCommand) {
    for (const char* line : {"", " ", "\t\t", " \xC2\xA0 \t"}) EXPECT_FALSE(parseCommand(line)) << line;
}

TEST(CommandParser, LowerCasingIsFullUnicode) {
    // U+0130 lower-cases to "i" followed by a combining dot above.
    EXPECT_EQ(tavrik::lowercased("\xC4\xB0"), "i\xCC\x87");
    EXPECT_EQ(tavrik::lowercased("\xCE\xA3\xCE\x9F\xCE\xA3"), "\xCF\x83\xCE\xBF\xCF\x82");
}

TEST(LineSource, SplitsOnLineFeedAndCarriageReturnLineFeed) {
    const char text[] = "one\r\ntwo\n\nthree\rx\nlast";
    std::FILE* stream = fmemopen(const_cast<char*>(text), sizeof text - 1, "r");
    ASSERT_NE(stream, nullptr);
    tavrik::StreamLineSource source(stream);
    std::vector<std::string> lines;
    while (auto line = source.nextLine()) lines.push_back(*line);
    std::fclose(stream);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "three\rx", "last"}));
}

TEST(LineSource, KeepsOnlyTheStartOfAnOverlongLineAndMarksIt) {
    const char text[] = "start 0123456789abcdef\nquit\n0123456789\n0123456789ab";
    std::FILE* stream = fmemopen(const_cast<char*>(text), sizeof text - 1, "r");
    ASSERT_NE(stream, nullptr);
    tavrik::StreamLineSource source(stream, 10);
    EXPECT_EQ(source.nextLine(), "start 0123");
    EXPECT_TRUE(source.lastLineTooLong());
    EXPECT_EQ(source.nextLine(), "quit");
    EXPECT_FALSE(source.lastLineTooLong());
    // Exactly the limit is not too long; a last line over it without a terminator is.
    EXPECT_EQ(source.nextLine(), "0123456789");
    EXPECT_FALSE(source.lastLineTooLong());
    EXPECT_EQ(source.nextLine(), "0123456789");
    EXPECT_TRUE(source.lastLineTooLong());
    EXPECT_EQ(source.nextLine(), std::nullopt);
    std::fclose(stream);
}

namespace {
void ignoreSignal(int) {}
} // namespace

// A signal handled while the read waits interrupts it (no SA_RESTART, as with the
// program's own signal handling): the line that follows is still read.
TEST(LineSource, ASignalWhileWaitingIsNoEndOfInput) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    std::FILE* stream = fdopen(ends[0], "r");
    ASSERT_NE(stream, nullptr);
    struct sigaction interrupting {}, previous {};
    interrupting.sa_handler = ignoreSignal;
    sigemptyset(&interrupting.sa_mask);
    interrupting.sa_flags = 0;
    ASSERT_EQ(sigaction(SIGUSR2, &interrupting, &previous), 0);

    tavrik::StreamLineSource source(stream);
    std::promise<pthread_t> started;
    auto reader = std::async(std::launch::async, [&] {
        started.set_value(pthread_self());
        return source.nextLine();
    });
    pthread_t readerThread = started.get_future().get();
    // Signals for a while, so that some arrive while the read waits.
    for (int i = 0; i < 20; ++i) {
        pthread_kill(readerThread, SIGUSR2);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(write(ends[1], "quit\n", 5), 5);
    EXPECT_EQ(reader.get(), "quit");
    close(ends[1]);
    std::fclose(stream);
    sigaction(SIGUSR2, &previous, nullptr);
}
