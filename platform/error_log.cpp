// Appending numbered lines to "error.txt".
#include "platform/error_log.h"

#include <mutex>

#include "platform/durable_file.h"

namespace drvvzt {

std::string ErrorLogLine(int code) {
  // "ошибка №" in code page 1251.
  static constexpr char kPrefix[] = "\xEE\xF8\xE8\xE1\xEA\xE0\x20\xB9";
  return kPrefix + std::to_string(code) + "\r\n";
}

bool WriteErrorLog(const std::string& dir, int code) {
  static std::mutex mutex;
  const std::string path = dir.empty() ? "error.txt" : dir + "/error.txt";
  std::lock_guard lock(mutex);
  return AppendToFile(path, ErrorLogLine(code));
}

}  // namespace drvvzt
