// Opens every file named on standard input with libavformat and finds its
// stream information, on the given number of threads, and prints the wall
// time in seconds. The floor that a prober built on libavformat can reach.
//
//   probe_floor THREADS < list-of-paths

extern "C" {
#include <libavformat/avformat.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    unsigned threads = argc > 1 ? static_cast<unsigned>(std::stoul(argv[1])) : 1;
    std::vector<std::string> paths;
    for (std::string line; std::getline(std::cin, line);)
        if (!line.empty()) paths.push_back(line);
    av_log_set_level(AV_LOG_QUIET);

    std::atomic<size_t> next{0};
    std::atomic<size_t> failures{0};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (size_t i; (i = next.fetch_add(1)) < paths.size();) {
                AVFormatContext* context = nullptr;
                if (avformat_open_input(&context, paths[i].c_str(), nullptr, nullptr) < 0) {
                    ++failures;
                    continue;
                }
                if (avformat_find_stream_info(context, nullptr) < 0) ++failures;
                avformat_close_input(&context);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.6f\n", seconds);
    if (failures) std::fprintf(stderr, "%zu files failed\n", failures.load());
    return 0;
}
