#include "server_process.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace devices_test {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, int outputFd) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
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
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(nullFd);
    if (pid > 0) pid_ = pid;
}

ChildProcess::~ChildProcess() { stop(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        stop();
        pid_ = other.pid_;
        other.pid_ = -1;
    }
    return *this;
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "devices-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
}

bool eventually(const std::function<bool()>& condition) {
    // Thirty seconds: servers start and windows settle slowly on a machine busy with
    // other builds, or under a sanitizer; a condition that holds ends the wait at once.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

} // namespace devices_test
