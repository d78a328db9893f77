// A directory of each test's own under the temporary directory, gone after it.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

class ScratchDirTest : public ::testing::Test {
protected:
    explicit ScratchDirTest(std::string prefix) : prefix_(std::move(prefix)) {}
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              (prefix_ + std::to_string(GetCurrentProcessId()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return (dir / name).string(); }

    std::filesystem::path dir;

private:
    std::string prefix_;
};
