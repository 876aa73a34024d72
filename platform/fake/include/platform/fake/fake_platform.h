#pragma once
// The scripted backend for tests: the test decides what exists and what fails,
// and which sample arrives on which queue.
//
// FakePlatform assembles the fake services into one Platform and keeps the
// helpers a test steers them with. Each concern adds its fake service in a file
// of its own, creates it in the FakePlatform constructor (handing it the shared
// failure script) and gives the test a typed accessor here.

#include "platform/fake/failure_script.h"
#include "platform/fake/sample_delivery.h"
#include "platform/platform.h"

#include <memory>

namespace platform::fake {

class FakePlatform {
public:
    FakePlatform();
    // Waits for samples still on their way to their handlers.
    ~FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    // The services, as engine code reaches them once installed.
    const std::shared_ptr<Platform>& platform() const { return platform_; }
    // Makes this the installed platform.
    void install() const;

    Capabilities& capabilities() { return platform_->capabilities; }
    FailureScript& failures() { return *failures_; }
    const std::shared_ptr<FailureScript>& sharedFailures() const { return failures_; }
    SampleDelivery& samples() { return samples_; }
    FakeCaptureClock& captureClock() { return *samples_.clock(); }

private:
    std::shared_ptr<FailureScript> failures_;
    std::shared_ptr<Platform> platform_;
    SampleDelivery samples_;
};

// A fresh Platform of fake services with nothing scripted.
std::shared_ptr<Platform> makeFakePlatform();

} // namespace platform::fake
