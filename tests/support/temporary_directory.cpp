#include "temporary_directory.h"

#include <cstdlib>
#include <filesystem>

namespace test_support {

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kalvesta-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code error;
    if (!path_.empty()) std::filesystem::remove_all(path_, error);
}

} // namespace test_support
