// Shared fixture pieces: a scratch working directory with its own error log.
#pragma once
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "diag/diag.h"
#include "protocol/conversion.h"
#include "protocol/settings.h"

namespace testing_support {

// Runs each test in its own empty directory, which is also Work_dir.
class ScratchDir {
public:
    ScratchDir() {
        old_ = std::filesystem::current_path();
        // A name nobody has: create_directory is false for one that exists.
        std::random_device random;
        do {
            dir_ = std::filesystem::temp_directory_path() / ("stravon-protocol-" + std::to_string(random()));
        } while (!std::filesystem::create_directory(dir_));
        std::filesystem::current_path(dir_);
        Read_work_dir();
    }
    ~ScratchDir() {
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::filesystem::path& path() const { return dir_; }

    // Messages of the error log, time stamps cut off, bytes as written.
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> out;
        std::ifstream in(dir_ / "errorlog.txt", std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const auto sep = line.find(" - ");
            out.push_back(sep == std::string::npos ? line : line.substr(sep + 3));
        }
        return out;
    }

    std::string ReadFile(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }

private:
    std::filesystem::path old_;
    std::filesystem::path dir_;
};

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace testing_support
