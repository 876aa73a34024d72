// Samples the scheduler's account of every thread of a process until the process
// ends or this one is terminated: one line a thread a sample,
//   t <wall clock ns> <tid> <ns on a processor> <ns waiting on a run queue> <times scheduled>
// from /proc/PID/task/TID/schedstat. The wall clock (CLOCK_REALTIME) lines the samples up
// with times taken by a script (`date +%s.%N`). A thread's name, once, as
//   n <tid> <name>
// Usage: thread_sampler PID [interval_ms]   (default 5)
#include <dirent.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void requestStop(int) { stopRequested = 1; }

long long wallNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

std::string firstLine(const std::string& path) {
    std::string line;
    if (FILE* file = std::fopen(path.c_str(), "r")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, file)) line = buffer;
        std::fclose(file);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    return line;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PID [interval_ms]\n", argv[0]);
        return 2;
    }
    const std::string tasks = std::string("/proc/") + argv[1] + "/task";
    const long interval = argc > 2 ? std::max(1L, std::atol(argv[2])) : 5;
    std::signal(SIGTERM, requestStop);
    std::signal(SIGINT, requestStop);
    std::set<std::string> named;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    while (!stopRequested) {
        DIR* directory = opendir(tasks.c_str());
        if (!directory) break;
        const long long at = wallNanoseconds();
        while (dirent* entry = readdir(directory)) {
            if (entry->d_name[0] == '.') continue;
            const std::string tid = entry->d_name;
            const std::string account = firstLine(tasks + "/" + tid + "/schedstat");
            if (account.empty()) continue;
            if (named.insert(tid).second) std::printf("n %s %s\n", tid.c_str(), firstLine(tasks + "/" + tid + "/comm").c_str());
            std::printf("t %lld %s %s\n", at, tid.c_str(), account.c_str());
        }
        closedir(directory);
        deadline.tv_nsec += interval * 1'000'000L;
        while (deadline.tv_nsec >= 1'000'000'000L) {
            deadline.tv_nsec -= 1'000'000'000L;
            ++deadline.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
    std::fflush(stdout);
    return 0;
}
