// Cost of one event line, and the round trip of one command line through the
// real program's pipes (an unknown word, answered by one "error" event).

#include "child_process.h"

#include "Tavrik/Emit.h"
#include "Tavrik/Output.h"

#include <benchmark/benchmark.h>

#include <cstdio>

static void EventLineToDevNull(benchmark::State& state) {
    std::FILE* devNull = std::fopen("/dev/null", "w");
    tavrik::setOutput(std::make_shared<tavrik::StreamSink>(devNull));
    for (auto _ : state) {
        tavrik::emit("error", {{"message", "Unknown command: /tmp/some/path"}, {"code", "INVALID_COMMAND"}});
    }
    tavrik::setOutput(nullptr);
    std::fclose(devNull);
}
BENCHMARK(EventLineToDevNull);

static void CommandRoundTripThroughPipes(benchmark::State& state) {
    test_support::ChildProcess child(TAVRIK_BINARY, {});
    child.readLine();  // banner
    child.readLine();  // ready
    for (auto _ : state) {
        child.write("bogus\n");
        auto answer = child.readLine();
        if (!answer) state.SkipWithError("no answer");
    }
    child.write("quit\n");
    child.wait();
}
BENCHMARK(CommandRoundTripThroughPipes)->UseRealTime();

BENCHMARK_MAIN();
