#pragma once
// A child process of a test, made one of two ways:
// - a program under test, given by its path, with pipes on its standard input,
//   output and error; ending the object closes its input and kills it (SIGKILL)
//   unless it has been waited for;
// - a helper the test runs in the background (a private server, a tone player),
//   looked up in PATH, its standard streams on /dev/null; ending the object (or
//   stop()) ends it with SIGTERM and waits for it, and it gets SIGTERM too when the
//   test process dies, so that a crashed test leaves no server behind.

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

class ChildProcess {
public:
    ChildProcess() = default;
    // A program under test, with pipes on its standard streams.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    // Changes to a background helper's environment: a variable set to a value, or
    // (without one) removed.
    using EnvironmentChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;
    // A background helper: `command` is the program (looked up in PATH) and its
    // arguments; its standard output goes to `outputFd` when given, else to /dev/null.
    // It runs in the test's environment with `changes` applied.
    static ChildProcess background(const std::vector<std::string>& command, int outputFd = -1,
                                   const EnvironmentChanges& changes = {});
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Started and not yet waited for or stopped.
    bool running() const { return pid_ > 0 && !status_; }
    // Ends the child now (SIGKILL for a program under test, SIGTERM for a background
    // helper) and waits for it.
    void stop();

    // The pipes of a program under test.
    void write(const std::string& text);
    void closeInput();
    // Next line of standard output without its line feed; absent at the end of
    // output or when none arrives within the timeout (generous: a busy machine or a
    // sanitizer slows the child down, and a line that arrives ends the wait at once).
    std::optional<std::string> readLine(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Everything left on standard output until it closes.
    std::string readRemainingOutput(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::string readStandardError();

    void sendSignal(int signal);
    // Waits for the exit; the status as from waitpid, or absent after the timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    int pid() const { return pid_; }

private:
    bool fill(std::chrono::steady_clock::time_point deadline);
    void swap(ChildProcess& other) noexcept;

    int pid_ = -1;
    int endSignal_ = SIGKILL;  // SIGTERM for a background helper
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::string buffered_;
    bool outputClosed_ = false;
    std::optional<int> status_;
};

// Runs the program to completion with the given standard input.
struct RunResult {
    int status = -1;  // waitpid status
    std::string standardOutput;
    std::string standardError;
};
RunResult runToCompletion(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& input = {});

} // namespace test_support
