// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace drvvzt::testing {

class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() joined with name, as a string.
  std::string File(const std::string& name) const;
  // Writes text (or bytes) to a file below the directory, replacing it.
  void Write(const std::string& name, const std::string& content) const;
  // The whole content of a file below the directory; empty when missing.
  std::string Read(const std::string& name) const;

private:
  std::filesystem::path path_;
};

// The names of the entries directly in dir, sorted; none when it cannot be read.
std::vector<std::string> FileNames(const std::filesystem::path& dir);

}  // namespace drvvzt::testing
