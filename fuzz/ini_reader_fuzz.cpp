// Fuzz target: "drvvzt.ini" made of arbitrary bytes. Every key the driver reads
// is read and converted; then ComPort is written, as the port selection does,
// and must read back as written while every other key keeps its value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_work_dir.h"
#include "platform/ini_file.h"
#include "platform/ini_values.h"
#include "platform/serial_port_names.h"

namespace {

using namespace drvvzt;

struct Key {
  const char* section;
  const char* key;
};

constexpr Key kKeys[] = {
    {"main", "FirstNumber"},   {"main", "PathForSoob"}, {"main", "NotSendToDiskT8"},
    {"main", "Razdel"},        {"main", "Attention"},   {"main", "Log"},
    {"main", "SendT7"},        {"main", "SendT8"},      {"ServerHost", "Address"},
    {"ServerHost", "Port"},    {"Razdels", "1234_1"},   {"ComPorts", "COM1"},
    {"MAIN", "firstnumber"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string path = drvvzt::fuzz::WorkDir("ini-fuzz") + "/drvvzt.ini";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  std::vector<std::string> before;
  for (const Key& k : kKeys) {
    before.push_back(ReadIniString(path, k.section, k.key, "\x01"));
    (void)ParseIniInteger(before.back(), -1);
    (void)ParseIniBoolean(before.back(), false);
    (void)ParseAttention(before.back());
    if (before.back().size() > 2047) std::abort();
  }
  (void)ReadIniInteger(path, "ServerHost", "Port", 12543);
  (void)DevicePathForPort("COM1", path);
  (void)DevicePathForPort(ReadIniString(path, "main", "ComPort", "COM255"), path);

  if (!WriteIniString(path, "main", "ComPort", "COM7")) std::abort();
  if (ReadIniString(path, "main", "ComPort", "") != "COM7") std::abort();
  for (std::size_t i = 0; i < std::size(kKeys); ++i) {
    if (ReadIniString(path, kKeys[i].section, kKeys[i].key, "\x01") != before[i]) std::abort();
  }
  return 0;
}
