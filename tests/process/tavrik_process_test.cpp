// The real tavrik binary over pipes: command line, exit statuses, the first lines
// of the interactive mode and how the loop ends.

#include "child_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <sstream>

using test_support::ChildProcess;
using test_support::runToCompletion;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

int exitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

nlohmann::json event(const std::string& line) { return nlohmann::json::parse(line); }

} // namespace

TEST(TavrikCommandLine, HelpAndVersionGoToStandardOutputWithStatusZero) {
    struct Case {
        std::vector<std::string> arguments;
        std::string expected;
        bool whole;  // the whole output, or only its start
    };
    const Case cases[] = {
        {{"--version"}, "1.0.0\n", true},
        {{"devices", "--version"}, "1.0.0\n", true},
        {{"-h"}, "Screen recorder for Kalvesta", false},
        {{"--help"}, "Screen recorder for Kalvesta", false},
        {{"devices", "--help"}, "Screen recorder for Kalvesta", false},
        {{"devices", "screens", "-h"}, "Screen recorder for Kalvesta", false},
    };
    for (const auto& c : cases) {
        auto result = runToCompletion(TAVRIK_BINARY, c.arguments);
        SCOPED_TRACE(c.arguments.front());
        EXPECT_EQ(exitStatus(result.status), 0);
        if (c.whole) EXPECT_EQ(result.standardOutput, c.expected);
        else EXPECT_EQ(result.standardOutput.rfind(c.expected, 0), 0u) << result.standardOutput;
        EXPECT_TRUE(result.standardError.empty());
    }
}

TEST(TavrikCommandLine, HelpNamesBothPositionalWordsWithTheirTexts) {
    auto help = runToCompletion(TAVRIK_BINARY, {"--help"}).standardOutput;
    for (const char* expected : {"kalvesta-recorder", "Optional command: 'devices', 'mic', 'webcam'",
                                 "Optional subcommand: 'screens', 'windows', 'audios', 'webcams'",
                                 "Show help information.", "Show the version."}) {
        EXPECT_NE(help.find(expected), std::string::npos) << expected;
    }
}

TEST(TavrikCommandLine, RejectedLinesGoToStandardErrorWithStatus64) {
    const std::vector<std::vector<std::string>> cases = {
        {"a", "b", "c"},
        {"--unknown"},
        {"devices", "-x"},
        {"devices", "screens", "extra"},
    };
    for (const auto& arguments : cases) {
        auto result = runToCompletion(TAVRIK_BINARY, arguments, "quit\n");
        SCOPED_TRACE(arguments.front());
        EXPECT_EQ(exitStatus(result.status), 64);
        EXPECT_TRUE(result.standardOutput.empty()) << result.standardOutput;
        EXPECT_EQ(result.standardError.rfind("Error: ", 0), 0u) << result.standardError;
        EXPECT_NE(result.standardError.find("Usage: kalvesta-recorder"), std::string::npos);
        EXPECT_NE(result.standardError.find("--help"), std::string::npos);
    }
}

TEST(TavrikInteractive, BannerAndReadyComeFirstAndTogether) {
    // Words that are no one-shot command, including a padded one-shot word, start the interactive mode.
    const std::vector<std::vector<std::string>> cases = {{}, {"mic"}, {"webcam", "x"}, {"help"}, {" devices"}};
    for (const auto& arguments : cases) {
        ChildProcess child(TAVRIK_BINARY, arguments);
        auto banner = child.readLine();
        auto ready = child.readLine();
        ASSERT_TRUE(banner && ready);
        EXPECT_EQ(*banner, "kalvesta-recorder v0.1.0");
        auto readyEvent = event(*ready);
        EXPECT_EQ(readyEvent["event"], "ready");
        EXPECT_EQ(readyEvent["message"], "Recorder is ready");
        EXPECT_TRUE(readyEvent["timestamp"].is_number_float());
        child.write("quit\n");
        auto status = child.wait();
        ASSERT_TRUE(status);
        EXPECT_EQ(exitStatus(*status), 0);
    }
}

TEST(TavrikInteractive, UnknownWordsBlankLinesAndTabs) {
    auto result = runToCompletion(TAVRIK_BINARY, {},
                                  "HELLO world\r\n"
                                  "\n"
                                  " \t \xC2\xA0\n"
                                  "start\t{}\n"
                                  "Mic\n"
                                  "quit now\n"
                                  "never read\n");
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 5u) << result.standardOutput;
    const char* expectedMessages[] = {"Unknown command: hello", "Unknown command: start\t{}", "Unknown command: mic"};
    for (size_t i = 0; i < 3; ++i) {
        auto error = event(output[2 + i]);
        EXPECT_EQ(error["event"], "error");
        EXPECT_EQ(error["code"], "INVALID_COMMAND");
        EXPECT_EQ(error["message"], expectedMessages[i]);
    }
    EXPECT_EQ(exitStatus(result.status), 0);
}

TEST(TavrikInteractive, QuitExitAndEndOfInputEndWithStatusZeroAndNothingMore) {
    const std::string inputs[] = {"quit\n", "EXIT\n", "", "exit now", "Quit"};
    for (const auto& input : inputs) {
        auto result = runToCompletion(TAVRIK_BINARY, {}, input);
        SCOPED_TRACE(input);
        EXPECT_EQ(exitStatus(result.status), 0);
        EXPECT_EQ(lines(result.standardOutput).size(), 2u) << result.standardOutput;
        EXPECT_TRUE(result.standardError.empty());
    }
}

TEST(TavrikInteractive, LastLineWithoutTerminatorIsACommand) {
    auto result = runToCompletion(TAVRIK_BINARY, {}, "bogus");
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 3u);
    EXPECT_EQ(event(output[2])["message"], "Unknown command: bogus");
}

TEST(TavrikInteractive, AnOverlongLineIsRefusedWholeAndNothingOfItRuns) {
    // Over the 1 MiB cap: spaces hiding a command behind them, one long word, a long
    // request whose head would be a valid "start"; each gets one error, then the
    // loop goes on with the next line.
    const std::string spacesThenStop = std::string(2 << 20, ' ') + "stop";
    const std::string longWord(16 << 20, 'x');
    const std::string longStart = "start {\"sig\":\"x\",\"outputPath\":\"never.mp4\"}" + std::string(2 << 20, ' ');
    auto result = runToCompletion(TAVRIK_BINARY, {},
                                  spacesThenStop + "\n" + longWord + "\n" + longStart + "\nstop\nquit\n");
    auto output = lines(result.standardOutput);
    ASSERT_EQ(output.size(), 6u) << result.standardOutput.substr(0, 2000);
    for (size_t i = 2; i < 5; ++i) {
        auto error = event(output[i]);
        EXPECT_EQ(error["event"], "error");
        EXPECT_EQ(error["code"], "INVALID_COMMAND");
        EXPECT_NE(error["message"].get<std::string>().find("Line too long"), std::string::npos) << output[i];
    }
    // The "stop" of its own line runs: nothing was recording.
    EXPECT_EQ(event(output[5])["code"], "NO_RECORDING");
    EXPECT_EQ(exitStatus(result.status), 0);
}

TEST(TavrikSignals, HandledSignalsAnnounceShutdownAndExitZero) {
    const std::pair<int, const char*> cases[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    for (const auto& [number, name] : cases) {
        ChildProcess child(TAVRIK_BINARY, {});
        ASSERT_TRUE(child.readLine());
        ASSERT_TRUE(child.readLine());  // "ready": the sources are installed before it
        child.sendSignal(number);
        auto line = child.readLine();
        ASSERT_TRUE(line) << name;
        auto shutdown = event(*line);
        EXPECT_EQ(shutdown["event"], "shutdown");
        EXPECT_EQ(shutdown["reason"], "signal");
        EXPECT_EQ(shutdown["signal"], name);
        auto status = child.wait();
        ASSERT_TRUE(status);
        EXPECT_EQ(exitStatus(*status), 0) << name;
        EXPECT_EQ(child.readRemainingOutput(), "");
    }
}

TEST(TavrikSignals, OtherSignalsKeepTheirDefaultAction) {
    // SIGQUIT dumps core by default; the children inherit a limit that writes none.
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    for (int number : {SIGQUIT, SIGUSR1}) {
        ChildProcess child(TAVRIK_BINARY, {});
        ASSERT_TRUE(child.readLine());
        ASSERT_TRUE(child.readLine());
        child.sendSignal(number);
        auto status = child.wait();
        ASSERT_TRUE(status);
        EXPECT_TRUE(WIFSIGNALED(*status));
        EXPECT_EQ(WTERMSIG(*status), number);
        EXPECT_EQ(child.readRemainingOutput(), "");
    }
}

TEST(TavrikSignals, ASignalWithTheEndOfInputAtOnceAnnouncesTheShutdownAndExitsZero) {
    // What a host that quits sends: a signal right after "ready", and standard input
    // closed at once. The program ending on the end of input races the signal's
    // handling; the race shows in a few runs of a hundred, so the runs go in parallel
    // batches. bench/process/signal_race.py runs the same race at any count.
    const std::pair<int, const char*> signals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
    constexpr int kBatches = 8;
    constexpr int kAtOnce = 12;
    for (int batch = 0; batch < kBatches; ++batch) {
        std::vector<ChildProcess> children;
        children.reserve(kAtOnce);
        for (int i = 0; i < kAtOnce; ++i) children.emplace_back(TAVRIK_BINARY, std::vector<std::string>{});
        for (int i = 0; i < kAtOnce; ++i) {
            ASSERT_TRUE(children[i].readLine());
            ASSERT_TRUE(children[i].readLine());  // "ready"
            children[i].sendSignal(signals[i % 3].first);
            children[i].closeInput();
        }
        for (int i = 0; i < kAtOnce; ++i) {
            const char* name = signals[i % 3].second;
            SCOPED_TRACE(std::string(name) + ", batch " + std::to_string(batch));
            auto status = children[i].wait();
            ASSERT_TRUE(status);
            EXPECT_FALSE(WIFSIGNALED(*status)) << "killed by signal " << WTERMSIG(*status);
            EXPECT_EQ(exitStatus(*status), 0);
            // The signal came before the end of input, and is announced once.
            auto output = lines(children[i].readRemainingOutput());
#if defined(__SANITIZE_THREAD__)
            // ThreadSanitizer runs a signal's handler only at the thread's next intercepted
            // call, which may come after the exit (1 run in 300 was seen so); the exit is right all the same.
            if (output.empty()) continue;
#endif
            ASSERT_EQ(output.size(), 1u);
            EXPECT_EQ(event(output[0])["event"], "shutdown");
            EXPECT_EQ(event(output[0])["signal"], name);
        }
    }
}
