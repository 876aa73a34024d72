// Times GetCursorTypeAtMouse() with the pointer where it is: N queries after a
// warm-up, one at a time, as the monitor's worker makes them. Prints one JSON line
// with the kind, the median and the 95th percentile in milliseconds.

#include "c3.h"

#include "platform/linux/atspi_accessibility.h"
#include "platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (count < 1) count = 1000;
    auto services = std::make_shared<platform::Platform>();
    services->accessibility = platform::linux_backend::atspiAccessibility();
    platform::install(services);

    std::string kind;
    for (int i = 0; i < 50; ++i) kind = glintor::GetCursorTypeAtMouse();
    std::vector<double> milliseconds;
    milliseconds.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto start = std::chrono::steady_clock::now();
        kind = glintor::GetCursorTypeAtMouse();
        milliseconds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(milliseconds.begin(), milliseconds.end());
    auto at = [&](double fraction) { return milliseconds[static_cast<size_t>(fraction * (milliseconds.size() - 1))]; };
    std::printf("{\"kind\":\"%s\",\"queries\":%d,\"medianMs\":%.3f,\"p95Ms\":%.3f,\"minMs\":%.3f,\"maxMs\":%.3f}\n",
                kind.c_str(), count, at(0.5), at(0.95), milliseconds.front(), milliseconds.back());
    return 0;
}
