// Shared helpers for the tests: a temporary folder, bounded waiting, and the station simulator.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

// A fresh, empty folder that is removed with its contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / std::string(name); }

private:
    std::filesystem::path path_;
};

// Polls pred every few milliseconds until it holds or the time is up; returns its last value.
bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit);

std::string ReadFileBytes(const std::filesystem::path& path);
bool WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);

// A file of the source tree (golden files, fixtures).
std::filesystem::path SourcePath(std::string_view relative);

// Port of the station simulator started by the test runner on 127.0.0.1, or 0 when there is
// none (tests that need it skip themselves then).
int SimulatorPort();
