#pragma once
// Scripted failures of the fake backend, keyed by operation (FakeOperation). A
// test scripts which calls fail; a fake service asks before it does its work.

#include "platform/error.h"
#include "platform/fake/fake_operation.h"

#include <map>
#include <mutex>
#include <optional>

namespace platform::fake {

class FailureScript {
public:
    // The next `times` calls of the operation fail with the error.
    void failNext(FakeOperation operation, PlatformError error, int times = 1);
    // Lets the next `passing` calls of the operation succeed, then fails the `times` after them.
    void failNextAfter(FakeOperation operation, int passing, PlatformError error, int times = 1);
    // Every call of the operation fails with the error until cleared.
    void failAlways(FakeOperation operation, PlatformError error);
    void clear(FakeOperation operation);

    // Counts one call of the operation and gives the error scripted for it, if
    // any, using up one scripted failure. Fake services call this first.
    std::optional<PlatformError> next(FakeOperation operation);
    // As next(), throwing the scripted error.
    void throwIfScripted(FakeOperation operation);
    // Calls of the operation so far, failed or not.
    int callCount(FakeOperation operation) const;

private:
    struct Script {
        std::optional<PlatformError> error;
        int remaining = 0;  // negative: for ever
        int passing = 0;    // calls still let through before the scripted failures
        int calls = 0;
    };

    mutable std::mutex mutex_;  // guards scripts_
    std::map<FakeOperation, Script> scripts_;
};

} // namespace platform::fake
