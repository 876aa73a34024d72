// The fake backend: samples pushed onto queues reach their handlers as each
// queue promises, and scripted failures fail exactly the calls they name.

#include "fake_platform_fixture.h"

#include "platform/fake/sample_factory.h"
#include "platform/queues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using platform::MediaTime;
using platform::SampleBufferRef;
using platform::fake::FakeOperation;
using platform::fake::makeVideoSample;

constexpr int kProducers = 4;
constexpr int kSamplesEach = 250;
constexpr int kTotal = kProducers * kSamplesEach;

class FakeBackendTest : public test_support::FakePlatformTest {
protected:
    // Pushes kTotal samples from kProducers threads. The presentation time of
    // each is its submission number: numbers are taken and the sample pushed
    // under one lock, so they follow the order of submission to the queue.
    void pushFromSeveralThreads(const std::shared_ptr<platform::Queue>& queue,
                                const platform::fake::SampleDelivery::Handler& handler) {
        std::mutex submission;  // orders submissions and guards `next`
        int next = 0;
        std::vector<std::thread> producers;
        for (int p = 0; p < kProducers; ++p) {
            producers.emplace_back([&] {
                for (int i = 0; i < kSamplesEach; ++i) {
                    std::lock_guard lock(submission);
                    fake().samples().push(queue, makeVideoSample(2, 2, MediaTime::make(next++, 600)), handler);
                }
            });
        }
        for (auto& producer : producers) producer.join();
    }
};

// What the handlers saw.
struct Observed {
    std::mutex mutex;  // guards order
    std::vector<int64_t> order;
    std::atomic<int> running{0};
    std::atomic<int> mostAtOnce{0};

    void enter() {
        int now = ++running;
        int seen = mostAtOnce.load();
        while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
        }
    }
    void record(const SampleBufferRef& sample) {
        std::lock_guard lock(mutex);
        order.push_back(sample->presentationTimeStamp().value);
    }
    void leave() { --running; }
};

TEST_F(FakeBackendTest, SerialQueueDeliversOneAtATimeInSubmissionOrder) {
    auto queue = platform::makeSerialQueue("microphoneQueue");
    Observed observed;
    pushFromSeveralThreads(queue, [&](const SampleBufferRef& sample) {
        observed.enter();
        std::this_thread::yield();  // give an overlapping handler the chance to show itself
        observed.record(sample);
        observed.leave();
    });
    ASSERT_TRUE(fake().samples().waitUntilHandled());

    std::vector<int64_t> expected(kTotal);
    std::iota(expected.begin(), expected.end(), 0);
    std::lock_guard lock(observed.mutex);
    EXPECT_EQ(observed.order, expected);
    EXPECT_EQ(observed.mostAtOnce.load(), 1);
}

TEST_F(FakeBackendTest, ConcurrentQueueDeliversEachSampleOnceAndInParallel) {
    auto queue = platform::globalQueue();
    Observed observed;
    // The first two samples each wait until the other has started: that only
    // ends if the queue runs them at the same time.
    std::mutex meeting;  // guards arrived
    std::condition_variable bothArrived;
    int arrived = 0;
    std::atomic<bool> met{true};
    pushFromSeveralThreads(queue, [&](const SampleBufferRef& sample) {
        observed.enter();
        if (sample->presentationTimeStamp().value < 2) {
            std::unique_lock lock(meeting);
            ++arrived;
            bothArrived.notify_all();
            if (!bothArrived.wait_for(lock, std::chrono::seconds(30), [&] { return arrived == 2; })) met = false;
        }
        observed.record(sample);
        observed.leave();
    });
    ASSERT_TRUE(fake().samples().waitUntilHandled());

    EXPECT_TRUE(met.load()) << "the first two samples never ran at the same time";
    EXPECT_GE(observed.mostAtOnce.load(), 2);
    std::lock_guard lock(observed.mutex);
    std::vector<int64_t> sorted = observed.order;
    std::sort(sorted.begin(), sorted.end());
    std::vector<int64_t> expected(kTotal);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(sorted, expected) << "every sample handled exactly once";
    EXPECT_EQ(fake().samples().handledCount(), static_cast<size_t>(kTotal));
}

TEST_F(FakeBackendTest, WaitingSeesAHandlerFailure) {
    auto queue = platform::makeSerialQueue("webcamQueue");
    std::atomic<int> handled{0};
    fake().samples().push(queue, makeVideoSample(2, 2, MediaTime::zero()),
                          [](const SampleBufferRef&) { throw std::runtime_error("handler failed"); });
    fake().samples().push(queue, makeVideoSample(2, 2, MediaTime::zero()), [&](const SampleBufferRef&) { ++handled; });
    EXPECT_THROW(fake().samples().waitUntilHandled(), std::runtime_error);
    EXPECT_EQ(handled.load(), 1) << "a failing handler does not stop the queue";
    EXPECT_TRUE(fake().samples().waitUntilHandled());
}

TEST_F(FakeBackendTest, ScriptedFailuresFailTheNamedCallsOnly) {
    auto& failures = fake().failures();
    const platform::PlatformError declined{"com.example.StreamErrorDomain", -3801, "The user declined."};
    failures.failNext(FakeOperation::shareableContentFetch, declined, 2);

    EXPECT_THROW(failures.throwIfScripted(FakeOperation::shareableContentFetch), platform::PlatformError);
    auto second = failures.next(FakeOperation::shareableContentFetch);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->code(), -3801);
    EXPECT_FALSE(failures.next(FakeOperation::shareableContentFetch).has_value())
        << "two failures were scripted, not three";
    EXPECT_FALSE(failures.next(FakeOperation::assetWriterStartWriting).has_value());
    EXPECT_EQ(failures.callCount(FakeOperation::shareableContentFetch), 3);
    EXPECT_EQ(failures.callCount(FakeOperation::assetWriterStartWriting), 1);
    EXPECT_EQ(failures.callCount(FakeOperation::previewWindowsMakeWindow), 0);

    failures.failAlways(FakeOperation::assetWriterStartWriting, declined);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(failures.next(FakeOperation::assetWriterStartWriting).has_value());
    failures.clear(FakeOperation::assetWriterStartWriting);
    EXPECT_FALSE(failures.next(FakeOperation::assetWriterStartWriting).has_value());
}

// The test plug-ins script failures by name: each operation is found by its own name
// (a name given twice would find the first of its operations), a misspelt name by none.
TEST(FakeOperationNames, EachOperationIsFoundByItsOwnNameAndAMisspeltNameByNone) {
    using platform::fake::fakeOperationName;
    using platform::fake::fakeOperationNamed;
    int named = 0;
    for (auto operation = FakeOperation{}; fakeOperationNamed(fakeOperationName(operation));
         operation = static_cast<FakeOperation>(static_cast<int>(operation) + 1), ++named) {
        EXPECT_EQ(fakeOperationNamed(fakeOperationName(operation)), operation) << fakeOperationName(operation);
    }
    EXPECT_GT(named, static_cast<int>(FakeOperation::accessibilityDescription)) << "every operation has a name";
    for (const char* name : {"shareableContent.Fetch", "captureSession.addinput", "stream.start", ""}) {
        EXPECT_FALSE(fakeOperationNamed(name)) << name;
    }
}

} // namespace
