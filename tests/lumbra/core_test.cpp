// The ios_ core over the fake platform: the C conventions that JavaScript cannot
// reach (null out-pointers, counts, freeing), the all-devices JSON text, and the
// removal of the observers by ios_cleanup.

#include "Lumbra/device.h"

#include "platform/fake/fake_capture.h"
#include "platform/fake/fake_devices.h"
#include "platform/fake/fake_platform.h"
#include "platform/queues.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

platform::CaptureDevice device(std::string id, std::string name, platform::MediaType media,
                               platform::CaptureDeviceType type = platform::CaptureDeviceType::external) {
    platform::CaptureDevice result;
    result.uniqueID = std::move(id);
    result.localizedName = std::move(name);
    result.manufacturer = media == platform::MediaType::muxed ? "Apple Inc." : "Acme";
    result.modelID = "Model-1";
    result.deviceType = type;
    result.mediaTypes = {media};
    return result;
}

// Connection reports reach the test through this plain C callback.
std::mutex reportsMutex;
std::condition_variable reportsChanged;
std::vector<std::string> reports;  // guarded by reportsMutex

void recordConnection(const char* deviceId) {
    std::lock_guard lock(reportsMutex);
    reports.emplace_back(deviceId);
    reportsChanged.notify_all();
}

class LumbraCore : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.install();
        mainQueue_ = std::thread([] { platform::runMainQueue(); });
        // A stop before the queue is served would be undone when the serving starts.
        drainMainQueue();
        std::lock_guard lock(reportsMutex);
        reports.clear();
    }

    void TearDown() override {
        ios_cleanup();
        platform::stopMainQueue();
        mainQueue_.join();
        platform::install(nullptr);
    }

    platform::fake::FakeCaptureDevices& devices() { return platform::fake::fakeDevices(*fake_.platform()); }
    platform::fake::FakeDeviceNotifications& notifications() {
        return platform::fake::fakeDeviceNotifications(*fake_.platform());
    }

    // Waits until the main queue has handled everything posted to it before.
    void drainMainQueue() { platform::mainQueue()->sync([] {}); }

    // Generous: the test machine may be busy.
    bool waitForReports(size_t count) {
        std::unique_lock lock(reportsMutex);
        return reportsChanged.wait_for(lock, std::chrono::seconds(20), [&] { return reports.size() >= count; });
    }

    platform::fake::FakePlatform fake_;
    std::thread mainQueue_;
};

TEST_F(LumbraCore, DeviceInfoWithNullOutPointersOnlyTellsThatTheDeviceExists) {
    devices().addDevice(device("phone-1", "iPhone", platform::MediaType::muxed));
    EXPECT_TRUE(ios_get_device_info("phone-1", nullptr, nullptr));

    char* name = nullptr;
    EXPECT_TRUE(ios_get_device_info("phone-1", &name, nullptr));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "iPhone");
    std::free(name);
}

TEST_F(LumbraCore, UnknownDeviceLeavesTheOutPointersUntouched) {
    char sentinel[] = "untouched";
    char* name = sentinel;
    char* model = sentinel;
    EXPECT_FALSE(ios_get_device_info("no-such-device", &name, &model));
    EXPECT_EQ(name, sentinel);
    EXPECT_EQ(model, sentinel);
}

TEST_F(LumbraCore, NoQualifyingDeviceGivesNullAndWritesZero) {
    devices().addDevice(device("camera", "iPhone camera", platform::MediaType::video));
    int32_t count = 7;
    EXPECT_EQ(ios_list_devices(&count), nullptr);
    EXPECT_EQ(count, 0);
}

TEST_F(LumbraCore, ListedIdsAreSeparateHeapCopies) {
    devices().addDevice(device("phone-a", "iPhone", platform::MediaType::muxed));
    devices().addDevice(device("phone-b", "iPad", platform::MediaType::muxed));
    int32_t count = 0;
    char** ids = ios_list_devices(&count);
    ASSERT_EQ(count, 2);
    ASSERT_NE(ids, nullptr);
    EXPECT_STREQ(ids[0], "phone-a");
    EXPECT_STREQ(ids[1], "phone-b");
    EXPECT_NE(ids[0], ids[1]);
    ios_free_device_list(ids, count);
}

TEST_F(LumbraCore, FreeingAcceptsNullAndANegativeCountFreesOnlyTheArray) {
    ios_free_device_list(nullptr, 3);
    ios_free_string(nullptr);

    auto** list = static_cast<char**>(std::calloc(2, sizeof(char*)));
    ASSERT_NE(list, nullptr);
    char* first = strdup("one");
    char* second = strdup("two");
    list[0] = first;
    list[1] = second;
    ios_free_device_list(list, -1);
    // Had the call freed the elements, these would be double frees (caught by the sanitizers).
    EXPECT_STREQ(first, "one");
    std::free(first);
    std::free(second);
}

TEST_F(LumbraCore, AllDevicesJsonIsCompactWithSlashesEscapedInListingOrder) {
    devices().setDevices({
        device("/dev/video2", "Front/Back camera", platform::MediaType::video,
               platform::CaptureDeviceType::builtInWideAngleCamera),
        device("phone", "iPhone", platform::MediaType::muxed),
        device("mic-2", "Desk \"mic\"", platform::MediaType::audio, platform::CaptureDeviceType::microphone),
        device("/dev/video0", "USB camera", platform::MediaType::video, platform::CaptureDeviceType::external),
        device("mic-1", "Headset ✓", platform::MediaType::audio, platform::CaptureDeviceType::microphone),
    });
    char* json = ios_list_all_devices();
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json,
                 R"({"webcams":[{"id":"\/dev\/video2","name":"Front\/Back camera"},)"
                 R"({"id":"\/dev\/video0","name":"USB camera"}],)"
                 R"("audios":[{"id":"mic-2","name":"Desk \"mic\""},{"id":"mic-1","name":"Headset ✓"}]})");
    ios_free_string(json);
}

TEST_F(LumbraCore, AllDevicesJsonWithoutDevicesHasTwoEmptyArrays) {
    char* json = ios_list_all_devices();
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, R"({"webcams":[],"audios":[]})");
    ios_free_string(json);
}

TEST_F(LumbraCore, TextThatCannotBeWrittenGivesTheFixedEmptyText) {
    devices().setDevices({
        device("mic-1", "Good microphone", platform::MediaType::audio, platform::CaptureDeviceType::microphone),
        device("mic-2", "Broken \xff name", platform::MediaType::audio, platform::CaptureDeviceType::microphone),
    });
    char* json = ios_list_all_devices();
    ASSERT_NE(json, nullptr);
    EXPECT_STREQ(json, R"({"webcams":[],"audios":[]})");
    EXPECT_EQ(std::strlen(json), 26u);
    ios_free_string(json);
}

TEST_F(LumbraCore, CleanupRemovesTheObserversUntilACallbackIsSetAgain) {
    ios_init_device_monitoring();
    EXPECT_EQ(notifications().observerCount(), 2u);
    ios_set_device_connected_callback(recordConnection);
    notifications().post(platform::DeviceNotification::wasConnected, device("before-cleanup", "iPhone", platform::MediaType::muxed));
    ASSERT_TRUE(waitForReports(1));

    ios_cleanup();
    EXPECT_EQ(notifications().observerCount(), 0u);
    notifications().post(platform::DeviceNotification::wasConnected, device("after-cleanup", "iPhone", platform::MediaType::muxed));
    drainMainQueue();

    ios_set_device_connected_callback(recordConnection);
    EXPECT_EQ(notifications().observerCount(), 2u);
    notifications().post(platform::DeviceNotification::wasConnected, device("set-again", "iPhone", platform::MediaType::muxed));
    ASSERT_TRUE(waitForReports(2));
    std::lock_guard lock(reportsMutex);
    EXPECT_EQ(reports, (std::vector<std::string>{"before-cleanup", "set-again"}));
}

TEST_F(LumbraCore, CleanupDropsReportsAlreadyOnTheirWayToTheMainQueue) {
    ios_init_device_monitoring();
    ios_set_device_connected_callback(recordConnection);
    // Hold the main queue so that the notification waits there while the observers go.
    std::promise<void> release;
    auto released = release.get_future().share();
    platform::mainQueue()->async([released] { released.wait(); });
    notifications().post(platform::DeviceNotification::wasConnected, device("in-flight", "iPhone", platform::MediaType::muxed));
    ios_cleanup();
    release.set_value();
    drainMainQueue();
    std::lock_guard lock(reportsMutex);
    EXPECT_TRUE(reports.empty());
}

// What the recording callbacks were told, in order ("started", "stopped: <path>", "error: <message>").
std::vector<std::string> recordingEvents;  // guarded by reportsMutex

void recordEvent(std::string event) {
    std::lock_guard lock(reportsMutex);
    recordingEvents.push_back(std::move(event));
    reportsChanged.notify_all();
}

void onStarted() { recordEvent("started"); }
void onStopped(const char* path) { recordEvent(std::string("stopped: ") + path); }
void onError(const char* message) { recordEvent(std::string("error: ") + message); }

class LumbraRecording : public LumbraCore {
protected:
    void SetUp() override {
        LumbraCore::SetUp();
        {
            std::lock_guard lock(reportsMutex);
            recordingEvents.clear();
        }
        ios_set_recording_started_callback(onStarted);
        ios_set_recording_stopped_callback(onStopped);
        ios_set_recording_error_callback(onError);
        devices().addDevice(device("phone", "iPhone", platform::MediaType::muxed));
    }

    void TearDown() override {
        ios_cancel_recording();
        LumbraCore::TearDown();
    }

    platform::fake::FakeCaptureSessions& sessions() { return platform::fake::fakeCaptureSessions(*fake_.platform()); }

    // Generous: the test machine may be busy.
    bool waitForEvents(size_t count) {
        std::unique_lock lock(reportsMutex);
        return reportsChanged.wait_for(lock, std::chrono::seconds(20), [&] { return recordingEvents.size() >= count; });
    }

    bool waitUntil(const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::vector<std::string> events() {
        std::lock_guard lock(reportsMutex);
        return recordingEvents;
    }
};

// The threads of a recording meet here: the caller's, the global queue (session
// start and teardown), the main queue (file start, clean-up) and the platform's
// reports. Run under ThreadSanitizer too.
TEST_F(LumbraRecording, AFullRecordingAcrossItsThreads) {
    ASSERT_TRUE(ios_start_recording("phone", "/tmp/phone.mov"));
    auto output = sessions().lastMovieFileOutput();
    ASSERT_TRUE(waitUntil([&] { return output->wasAskedToRecord(); }));
    EXPECT_EQ(output->outputPath(), "/tmp/phone.mov");
    EXPECT_TRUE(ios_is_recording());
    ASSERT_TRUE(output->reportStart());
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_TRUE(ios_stop_recording());
    ASSERT_TRUE(output->reportFinish(std::nullopt));
    ASSERT_TRUE(waitForEvents(2));
    // Idle once the clean-up has run on the main queue, 0.1 s after the finish.
    ASSERT_TRUE(waitUntil([] { return !ios_cancel_recording(); }));
    EXPECT_EQ(events(), (std::vector<std::string>{"started", "stopped: /tmp/phone.mov"}));
}

TEST_F(LumbraRecording, ALateFinishOfACancelledRecordingLeavesTheNewOneAlone) {
    ASSERT_TRUE(ios_start_recording("phone", "/tmp/first.mov"));
    auto first = sessions().lastMovieFileOutput();
    ASSERT_TRUE(waitUntil([&] { return first->wasAskedToRecord(); }));
    EXPECT_TRUE(ios_cancel_recording());
    ASSERT_TRUE(ios_start_recording("phone", "/tmp/second.mov"));
    auto second = sessions().lastMovieFileOutput();
    ASSERT_TRUE(waitUntil([&] { return second->wasAskedToRecord(); }));
    ASSERT_TRUE(first->reportFinish(std::nullopt));
    ASSERT_TRUE(waitForEvents(1));
    // Every main-queue step due within 0.3 s (the first finish's clean-up) has run after this.
    std::promise<void> ran;
    platform::mainQueue()->asyncAfter(std::chrono::milliseconds(300), [&ran] { ran.set_value(); });
    ran.get_future().wait();
    EXPECT_TRUE(ios_is_recording());
    EXPECT_EQ(events(), (std::vector<std::string>{"stopped: /tmp/first.mov"}));
}

TEST(LumbraModule, ReportsNodeApiVersion8) {
    // The plug-in resolves Node-API from its host when a function is called: lazy
    // binding lets this test look at the entry point without a host.
    void* module = dlopen(LUMBRA_TEST_ADDON, RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
        std::string error = dlerror();
        // Unoptimised builds take the address of Node-API functions at load time.
        if (error.find("undefined symbol: napi_") != std::string::npos) GTEST_SKIP() << error;
        FAIL() << error;
    }
    using VersionFunction = int32_t (*)();
    auto version = reinterpret_cast<VersionFunction>(dlsym(module, "node_api_module_get_api_version_v1"));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(), 8);
    EXPECT_NE(dlsym(module, "napi_register_module_v1"), nullptr);
    dlclose(module);
}

} // namespace
