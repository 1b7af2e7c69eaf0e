// A main window started in a fresh working directory with hand-driven clocks.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "shell/main_window.h"
#include "tests/support/fake_clock.h"
#include "tests/support/temp_dir.h"
#include "tools/lib/spool_inspection.h"
#include "tools/lib/station_packet.h"

namespace drvvzt::testing {

// A station packet that asks for an acknowledgement, for the given object.
inline std::string StationPacketFor(std::uint16_t object) {
  tools::StationPacketFields fields;
  fields.object_number = object;
  return tools::StationPacketText(fields);
}

// Station event files in dir (".bad" files not counted), each checked to hold
// a well-formed record; -1 when dir cannot be read.
inline int SpoolFiles(const std::string& dir) {
  const auto entries = InspectSpoolDirectory(dir);
  if (!entries) return -1;
  int count = 0;
  for (const SpoolEntry& e : *entries) {
    EXPECT_TRUE(e.problem.empty()) << e.name << ": " << e.problem;
    if (!e.set_aside) ++count;
  }
  return count;
}

class WindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    previous_dir_ = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override { std::filesystem::current_path(previous_dir_); }

  // Writes "drvvzt.ini" (the [main] keys given, with the link off unless they
  // say otherwise, then any further sections) and starts a window on it.
  std::unique_ptr<TForm1> Start(const std::string& main_keys = "", const std::string& more = "") {
    std::string ini = "[main]\n";
    if (main_keys.find("SendT8") == std::string::npos) ini += "SendT8=0\n";
    ini += main_keys + "\n" + more;
    dir.Write("drvvzt.ini", ini);
    return std::make_unique<TForm1>(clock, *window_tick);
  }

  // Runs the event loop until done() holds or timeout_ms pass.
  template <typename Done>
  static bool SpinUntil(Done done, int timeout_ms = 5000) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done()) {
      if (elapsed.elapsed() > timeout_ms) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
  }

  TempDir dir;
  FakeDateTimeClock clock;
  FakeTickClock tick;
  // Tests that run the real server link give the window the system tick.
  TickClock* window_tick = &tick;

private:
  std::filesystem::path previous_dir_;
};

}  // namespace drvvzt::testing
