#pragma once
// Helper servers the tests start for themselves (a private X server, window
// manager or sound server), each ended by its own process id.

#include <functional>
#include <string>
#include <vector>

namespace devices_test {

class ChildProcess {
public:
    ChildProcess() = default;
    // Starts the program (looked up in PATH) with the arguments; output goes to /dev/null
    // unless `outputFd` names a descriptor for its standard output.
    ChildProcess(const std::vector<std::string>& arguments, int outputFd = -1);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    bool running() const { return pid_ > 0; }
    void stop();

private:
    int pid_ = -1;
};

// A fresh directory under the system's temporary directory, removed with the object.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Polls the condition until it holds or a generous deadline (thirty seconds) passes.
bool eventually(const std::function<bool()>& condition);

} // namespace devices_test
