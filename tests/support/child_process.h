#pragma once
// A child process with pipes on its standard input, output and error, for
// process-level tests of the real binaries.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

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

    int pid_ = -1;
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

} // namespace testsupport
