#pragma once
// Test fixture that installs a fresh fake platform for each test. At the end
// it waits for every pushed sample; the platform stays installed until the next
// test replaces it, so work a test left running in the background still finds it.

#include "platform/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <memory>

namespace test_support {

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_ = std::make_unique<platform::fake::FakePlatform>();
        fake_->install();
    }

    void TearDown() override {
        EXPECT_TRUE(fake_->samples().waitUntilHandled()) << "samples still pending at the end of the test";
        fake_.reset();
    }

    platform::fake::FakePlatform& fake() { return *fake_; }

private:
    std::unique_ptr<platform::fake::FakePlatform> fake_;
};

} // namespace test_support
