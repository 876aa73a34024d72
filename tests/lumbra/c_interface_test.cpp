// The Linux plug-in used through its C functions alone: a host that opens
// lumbra.node with dlopen and never lets Node load it still gets real answers,
// the platform being installed on the first call.

#include "private_servers.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dlfcn.h>

#include <cstdint>
#include <string>

namespace {

using ListAllDevices = char* (*)();
using FreeString = void (*)(char*);
using ListDevices = char** (*)(int32_t*);
using FreeDeviceList = void (*)(char**, int32_t);
using GetDeviceInfo = bool (*)(const char*, char**, char**);

} // namespace

TEST(LumbraCInterface, AnswersBeforeNodeHasLoadedThePlugin) {
    test_support::PrivatePulseServer pulse;
    ASSERT_TRUE(pulse.started());
    // The plug-in resolves Node-API from its host when a function is called: lazy
    // binding lets it be opened without a host.
    void* module = dlopen(LUMBRA_ADDON, RTLD_LAZY | RTLD_LOCAL);
    if (!module) {
        std::string error = dlerror();
        // Unoptimised builds take the address of Node-API functions at load time.
        if (error.find("undefined symbol: napi_") != std::string::npos) GTEST_SKIP() << error;
        FAIL() << error;
    }
    auto listAll = reinterpret_cast<ListAllDevices>(dlsym(module, "ios_list_all_devices"));
    auto freeString = reinterpret_cast<FreeString>(dlsym(module, "ios_free_string"));
    auto listDevices = reinterpret_cast<ListDevices>(dlsym(module, "ios_list_devices"));
    auto freeList = reinterpret_cast<FreeDeviceList>(dlsym(module, "ios_free_device_list"));
    auto deviceInfo = reinterpret_cast<GetDeviceInfo>(dlsym(module, "ios_get_device_info"));
    ASSERT_TRUE(listAll && freeString && listDevices && freeList && deviceInfo);

    char* text = listAll();
    ASSERT_NE(text, nullptr);
    nlohmann::json all = nlohmann::json::parse(text);
    freeString(text);
    bool sineListed = false;
    for (const auto& microphone : all["audios"]) sineListed |= microphone["id"] == test_support::PrivatePulseServer::kSineSource;
    EXPECT_TRUE(sineListed) << "the private server's microphone is listed: " << all.dump();

    // A microphone is a capture device the lookup knows, though no iOS device.
    char* name = nullptr;
    EXPECT_TRUE(deviceInfo(test_support::PrivatePulseServer::kSineSource, &name, nullptr));
    EXPECT_NE(name, nullptr);
    free(name);
    int32_t count = -1;
    char** ids = listDevices(&count);
    EXPECT_EQ(count, 0) << "no phone is attached";
    freeList(ids, count);
    dlclose(module);
}
