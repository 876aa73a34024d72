#pragma once
// A fresh directory under the system's temporary directory, removed with the object.

#include <string>

namespace test_support {

class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    // Empty when the directory could not be made.
    const std::string& path() const { return path_; }
    // The path of a file in it.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace test_support
