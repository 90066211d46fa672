// Every test runs with its own home: HOME and the XDG folders point into a
// fresh temporary folder created before the test and removed after it, so
// no test reads or writes the real home of the person running the suite.
#pragma once

#include <filesystem>
#include <string>

namespace zorcam::testing {

// The current test's home folder (empty outside a test).
std::filesystem::path TestHome();

// A fresh, empty folder inside the test home.
std::filesystem::path MakeTempDir(const std::string& name);

// Writes `bytes` to `path`, creating parent folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);

}  // namespace zorcam::testing
