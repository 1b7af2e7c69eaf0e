// The drvvzt program as a child process for whole-driver tests and the scenario
// benchmark: a working directory with its "drvvzt.ini" ([ComPorts] mapping the
// chosen COMn to a device such as a pty slave, [ServerHost] pointing at a
// loopback emulator), the program started there with no arguments and the
// offscreen Qt platform, and stopped with SIGTERM (SIGKILL when it hangs).
// Helpers collect the station events found at the emulator and in spool files.
//
// Not thread-safe: one DriverProcess is used from one thread. The free
// functions are thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "station/station_event.h"
#include "tools/lib/message_server_emulator.h"

namespace drvvzt::testing {

struct DriverConfig {
  std::string device;                   // what COM1 maps to (a pty slave path)
  std::uint16_t server_port = 0;        // emulator port on 127.0.0.1
  std::string path_for_soob = "soob/";  // relative to the working directory
  std::int32_t first_number = 0;
  bool send_t8 = true;
  bool not_send_to_disk = false;
  bool log = false;
  // Largest file the program may write (RLIMIT_FSIZE, SIGXFSZ ignored), as a
  // full disk would have it; nothing: no limit.
  std::optional<std::uint64_t> file_size_limit;
};

// The drvvzt program under $DRVVZT_BUILD_DIR, or else in the build directory
// above the running program's folder; empty when it is not there.
std::string DriverProgramPath();

class DriverProcess {
public:
  explicit DriverProcess(std::string work_dir);
  ~DriverProcess();  // kills a child still running
  DriverProcess(const DriverProcess&) = delete;
  DriverProcess& operator=(const DriverProcess&) = delete;

  const std::string& work_dir() const { return work_dir_; }
  std::string SpoolDir() const { return work_dir_ + "/" + spool_prefix_; }

  // Writes drvvzt.ini for the configuration (COM1 selected); the file size
  // limit applies from the next Start.
  void Configure(const DriverConfig& config);
  // Sets (or, with an empty value, removes) a variable of the program's
  // environment from the next Start; QT_QPA_PLATFORM is offscreen unless changed.
  void SetEnvironment(const std::string& name, const std::string& value) {
    environment_.emplace_back(name, value);
  }
  // Starts the program; false when it cannot be run.
  bool Start(const std::string& program = DriverProgramPath());
  bool Running();
  pid_t pid() const { return pid_; }
  // True once the process holds the device open (seen in /proc/<pid>/fd).
  bool WaitDeviceOpen(const std::string& device, int timeout_ms);
  // Sets the running program's file size limit (nothing: unlimited).
  bool SetFileSizeLimit(std::optional<std::uint64_t> bytes);
  // SIGTERM, then SIGKILL after timeout_ms. The exit status as waitpid gives
  // it (also of a child that had already ended); nothing when no child ran.
  std::optional<int> Stop(int timeout_ms = 5000);
  // SIGKILL at once and reap.
  void Kill();
  // What the program wrote to stdout and stderr.
  std::string Output() const;
  // True once the output holds text; false after timeout_ms.
  bool WaitOutput(const std::string& text, int timeout_ms) const;

private:
  std::optional<int> Reap(int timeout_ms);

  std::string work_dir_;
  std::string spool_prefix_ = "soob/";
  std::optional<std::uint64_t> file_size_limit_;
  pid_t pid_ = -1;
  std::optional<int> exit_status_;  // of a child that ended by itself
  std::vector<std::pair<std::string, std::string>> environment_;
};

// Object numbers of every complete spool file (a station event record as the
// driver writes it) directly in dir.
std::multiset<std::int32_t> SpoolObjectNumbers(const std::string& dir);
// Sizes of every spool file in dir, and names of temporary spool files left over.
std::vector<std::uintmax_t> SpoolFileSizes(const std::string& dir);
std::vector<std::string> SpoolTempFiles(const std::string& dir);
// Object numbers of the station events the emulator received (repeats kept).
std::multiset<std::int32_t> ServerObjectNumbers(const tools::MessageServerEmulator& emulator);
// Numbers in `sent` found in neither `seen` set.
std::vector<std::int32_t> MissingNumbers(const std::vector<std::int32_t>& sent,
                                         const std::multiset<std::int32_t>& at_server,
                                         const std::multiset<std::int32_t>& spooled);

}  // namespace drvvzt::testing
