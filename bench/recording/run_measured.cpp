// Runs a command with this process's standard streams and, once it ends, writes
// its CPU time (user and system, all threads, from wait4) and peak resident
// memory to a file, as one line "user_seconds system_seconds peak_kib wall_seconds".
// Usage: run_measured REPORT_FILE COMMAND [ARGUMENTS...]; exits with the command's status.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <csignal>

namespace {

double seconds(const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; }

pid_t child = -1;

// The runner stands for the command: a signal sent to it is passed on.
void forward(int signal) {
    if (child > 0) kill(child, signal);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s REPORT_FILE COMMAND [ARGUMENTS...]\n", argv[0]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    std::signal(SIGTERM, forward);
    std::signal(SIGINT, forward);
    int status = 0;
    rusage usage{};
    while (wait4(child, &status, 0, &usage) < 0) {}
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (FILE* report = std::fopen(argv[1], "w")) {
        std::fprintf(report, "%.3f %.3f %ld %.3f\n", seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss,
                     wall);
        std::fclose(report);
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
