#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace test_support {
namespace {

void makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// The test's environment with the changes applied, as NAME=value entries.
std::vector<std::string> changedEnvironment(const ChildProcess::EnvironmentChanges& changes) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string variable(*entry);
        std::string name = variable.substr(0, variable.find('='));
        bool changed = false;
        for (const auto& change : changes) changed = changed || change.first == name;
        if (!changed) variables.push_back(std::move(variable));
    }
    for (const auto& [name, value] : changes) {
        if (value) variables.push_back(name + "=" + *value);
    }
    return variables;
}

} // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    // A child that exits before reading its input must not kill the test with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    makePipe(in);
    makePipe(out);
    makePipe(err);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The child starts with default signal dispositions and an empty mask.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    int result = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input_ = in[1];
    output_ = out[0];
    error_ = err[0];
    if (result != 0) throw std::runtime_error("cannot start " + program);
}

ChildProcess ChildProcess::background(const std::vector<std::string>& command, int outputFd,
                                      const EnvironmentChanges& changes) {
    ChildProcess child;
    child.endSignal_ = SIGTERM;
    std::vector<char*> argv;
    for (const auto& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The environment is made before the fork: the child of a threaded test may only exec.
    std::vector<std::string> variables = changedEnvironment(changes);
    std::vector<char*> envp;
    for (auto& variable : variables) envp.push_back(variable.data());
    envp.push_back(nullptr);
    int nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // A test that crashes must not leave its servers behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(nullFd, STDIN_FILENO);
        dup2(outputFd >= 0 ? outputFd : nullFd, STDOUT_FILENO);
        dup2(nullFd, STDERR_FILENO);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(nullFd);
    if (pid > 0) child.pid_ = pid;
    return child;
}

ChildProcess::~ChildProcess() {
    stop();
    if (output_ >= 0) close(output_);
    if (error_ >= 0) close(error_);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept { swap(other); }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        ChildProcess taken(std::move(other));
        swap(taken);  // the child this held ends with `taken`
    }
    return *this;
}

void ChildProcess::swap(ChildProcess& other) noexcept {
    std::swap(pid_, other.pid_);
    std::swap(endSignal_, other.endSignal_);
    std::swap(input_, other.input_);
    std::swap(output_, other.output_);
    std::swap(error_, other.error_);
    std::swap(buffered_, other.buffered_);
    std::swap(outputClosed_, other.outputClosed_);
    std::swap(status_, other.status_);
}

void ChildProcess::stop() {
    closeInput();
    if (pid_ > 0 && !status_) {
        kill(pid_, endSignal_);
        int status = 0;
        waitpid(pid_, &status, 0);
        status_ = status;
    }
}

void ChildProcess::write(const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(input_, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) return;  // the child has stopped reading
            throw std::runtime_error("write to child failed");
        }
        written += static_cast<size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        close(input_);
        input_ = -1;
    }
}

bool ChildProcess::fill(std::chrono::steady_clock::time_point deadline) {
    if (outputClosed_ || output_ < 0) return false;
    pollfd descriptor{output_, POLLIN, 0};
    int ready = poll(&descriptor, 1, remainingMs(deadline));
    if (ready <= 0) return false;
    char chunk[65536];
    ssize_t n = read(output_, chunk, sizeof chunk);
    if (n <= 0) {
        outputClosed_ = true;
        return false;
    }
    buffered_.append(chunk, static_cast<size_t>(n));
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto newline = buffered_.find('\n');
        if (newline != std::string::npos) {
            std::string line = buffered_.substr(0, newline);
            buffered_.erase(0, newline + 1);
            return line;
        }
        if (!fill(deadline)) return std::nullopt;
    }
}

std::string ChildProcess::readRemainingOutput(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fill(deadline)) {
    }
    return std::exchange(buffered_, {});
}

std::string ChildProcess::readStandardError() {
    std::string text;
    if (error_ < 0) return text;
    char chunk[4096];
    ssize_t n;
    while ((n = read(error_, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    return text;
}

void ChildProcess::sendSignal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (status_ || pid_ <= 0) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

RunResult runToCompletion(const std::string& program, const std::vector<std::string>& arguments,
                          const std::string& input) {
    ChildProcess child(program, arguments);
    child.write(input);
    child.closeInput();
    RunResult result;
    result.standardOutput = child.readRemainingOutput(std::chrono::seconds(120));
    result.standardError = child.readStandardError();
    auto status = child.wait();
    result.status = status ? *status : -1;
    return result;
}

} // namespace test_support
