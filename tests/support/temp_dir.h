#pragma once
// A directory of its own for one test, removed with everything in it when the test ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace karvex::testing {

class TempDir {
public:
    // /tmp/<prefix>-XXXXXX
    explicit TempDir(const std::string& prefix = "karvex") {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "no temporary directory " << pattern;
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    operator const std::string&() const { return path_; }

private:
    std::string path_;
};

}  // namespace karvex::testing
