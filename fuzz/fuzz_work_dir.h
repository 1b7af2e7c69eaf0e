// A scratch directory for fuzz targets that need files: made once per process.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace drvvzt::fuzz {

// A fresh directory under the temporary directory whose name starts with prefix,
// the same one for every call in the process (a fuzz program runs one target).
inline const std::string& WorkDir(const char* prefix) {
  static const std::string dir = [prefix] {
    std::string templ = (std::filesystem::temp_directory_path() / prefix).string() + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    return std::string(buf.data());
  }();
  return dir;
}

}  // namespace drvvzt::fuzz
