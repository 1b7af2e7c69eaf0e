// Pseudo-terminals standing in for the serial ports a scan finds free.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "tests/support/pty_pair.h"

namespace drvvzt::testing {

// Pseudo-terminals standing in for the free ports; every other COM1..COM32
// maps to a device that does not exist, so the host's own ports never count.
class PortBench {
public:
  explicit PortBench(std::set<int> free_ports) {
    for (int number : free_ports) ptys_[number] = std::make_unique<PtyPair>();
  }
  bool ok() const {
    for (const auto& [number, pty] : ptys_) {
      if (!pty->ok()) return false;
    }
    return true;
  }
  std::string Path(int number) const { return ptys_.at(number)->slave_path(); }
  std::string Section() const {
    std::string text = "[ComPorts]\n";
    for (int number = 1; number <= 32; ++number) {
      const auto found = ptys_.find(number);
      const std::string device = found != ptys_.end() ? found->second->slave_path() : "/nonexistent/tty" + std::to_string(number);
      text += "COM" + std::to_string(number) + "=" + device + "\n";
    }
    return text;
  }

private:
  std::map<int, std::unique_ptr<PtyPair>> ptys_;
};

}  // namespace drvvzt::testing
