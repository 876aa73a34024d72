// Latency of the recording commands over the fake platform: from writing a
// "start" line to the "started" event (the first frame is delivered as soon as
// the stream exists), and from writing "stop" to the "finish" event.

#include "loop_harness.h"

#include <benchmark/benchmark.h>

#include <chrono>

using commands_test::LoopHarness;

static void StartLineToStartedEvent(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        LoopHarness harness;
        harness.run();
        size_t before = harness.output().lines().size();
        state.ResumeTiming();
        harness.send(LoopHarness::startRequest());
        // The stream exists once the start has set up capture.
        while (!harness.stream()) std::this_thread::yield();
        while (!harness.output().waitForEvent("started", std::chrono::milliseconds(0))) harness.deliverFrame(1.0);
        state.PauseTiming();
        if (harness.output().lines().size() <= before) state.SkipWithError("no started event");
        harness.send("stop");
        harness.output().waitForEvent("finish");
        state.ResumeTiming();
    }
}
BENCHMARK(StartLineToStartedEvent)->UseRealTime()->Unit(benchmark::kMicrosecond);

static void StopLineToFinishEvent(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        LoopHarness harness;
        harness.run();
        harness.send(LoopHarness::startRequest());
        while (!harness.stream()) std::this_thread::yield();
        while (!harness.output().waitForEvent("started", std::chrono::milliseconds(0))) harness.deliverFrame(1.0);
        harness.deliverFrame(2.0);
        state.ResumeTiming();
        harness.send("stop");
        if (!harness.output().waitForEvent("finish")) state.SkipWithError("no finish event");
    }
}
BENCHMARK(StopLineToFinishEvent)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
