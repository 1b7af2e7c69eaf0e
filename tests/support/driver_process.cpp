// Running the drvvzt program as a child process; see driver_process.h.
#include "tests/support/driver_process.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

namespace drvvzt::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kOutputFile[] = "driver.out";

}  // namespace

std::string DriverProgramPath() {
  // Test and benchmark programs live one folder below the build directory.
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  const char* build = std::getenv("DRVVZT_BUILD_DIR");
  const fs::path dir = build != nullptr ? fs::path(build) : self.parent_path().parent_path();
  const std::string path = (dir / "shell" / "drvvzt").string();
  return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

DriverProcess::DriverProcess(std::string work_dir) : work_dir_(std::move(work_dir)) {}

DriverProcess::~DriverProcess() { Kill(); }

void DriverProcess::Configure(const DriverConfig& config) {
  spool_prefix_ = config.path_for_soob;
  file_size_limit_ = config.file_size_limit;
  std::ofstream ini(work_dir_ + "/drvvzt.ini", std::ios::trunc);
  ini << "[main]\n"
      << "ComPort=COM1\n"
      << "FirstNumber=" << config.first_number << "\n"
      << "PathForSoob=" << config.path_for_soob << "\n"
      << "NotSendToDiskT8=" << (config.not_send_to_disk ? 1 : 0) << "\n"
      << "SendT8=" << (config.send_t8 ? 1 : 0) << "\n"
      << "Log=" << (config.log ? 1 : 0) << "\n"
      << "[ServerHost]\n"
      << "Address=127.0.0.1\n"
      << "Port=" << config.server_port << "\n"
      << "[ComPorts]\n"
      << "COM1=" << config.device << "\n";
}

bool DriverProcess::Start(const std::string& program) {
  if (program.empty() || pid_ > 0) return false;
  const std::string out = work_dir_ + "/" + kOutputFile;
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    if (chdir(work_dir_.c_str()) != 0) _exit(126);
    std::FILE* f = std::freopen(out.c_str(), "a", stdout);
    if (f != nullptr) dup2(fileno(stdout), STDERR_FILENO);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    for (const auto& [name, value] : environment_) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (file_size_limit_) {
      signal(SIGXFSZ, SIG_IGN);  // kept across exec: writes fail with EFBIG instead
      // Only the soft limit: SetFileSizeLimit may lift it again unprivileged.
      const rlimit limit{*file_size_limit_, RLIM_INFINITY};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
    }
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  pid_ = child;
  return true;
}

bool DriverProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  const pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    pid_ = -1;
    exit_status_ = status;
    return false;
  }
  return true;
}

bool DriverProcess::WaitDeviceOpen(const std::string& device, int timeout_ms) {
  std::error_code ec;
  const fs::path wanted = fs::weakly_canonical(device, ec);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline && Running()) {
    const fs::path fds = "/proc/" + std::to_string(pid_) + "/fd";
    for (fs::directory_iterator it(fds, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(it->path(), link_ec) == wanted) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool DriverProcess::SetFileSizeLimit(std::optional<std::uint64_t> bytes) {
  if (pid_ <= 0) return false;
  const rlim_t value = bytes ? static_cast<rlim_t>(*bytes) : RLIM_INFINITY;
  const rlimit limit{value, RLIM_INFINITY};
  return prlimit(pid_, RLIMIT_FSIZE, &limit, nullptr) == 0;
}

std::optional<int> DriverProcess::Reap(int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (r < 0) {  // not our child any more
      pid_ = -1;
      return std::nullopt;
    }
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<int> DriverProcess::Stop(int timeout_ms) {
  if (pid_ <= 0) return exit_status_;
  kill(pid_, SIGTERM);
  if (auto status = Reap(timeout_ms)) return status;
  kill(pid_, SIGKILL);
  return Reap(5000);
}

void DriverProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(5000);
}

std::string DriverProcess::Output() const {
  std::ifstream in(work_dir_ + "/" + kOutputFile);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool DriverProcess::WaitOutput(const std::string& text, int timeout_ms) const {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (Output().find(text) != std::string::npos) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::multiset<std::int32_t> SpoolObjectNumbers(const std::string& dir) {
  std::multiset<std::int32_t> numbers;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (!name.ends_with(".dd8")) continue;
    std::ifstream in(it->path(), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (bytes.size() != 4 + kStationEventSize) continue;
    const auto event = DecodeStationEvent(std::span(bytes).subspan(4));
    if (event) numbers.insert(event->ObjectNumber);
  }
  return numbers;
}

std::vector<std::uintmax_t> SpoolFileSizes(const std::string& dir) {
  std::vector<std::uintmax_t> sizes;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().ends_with(".dd8")) sizes.push_back(it->file_size(ec));
  }
  return sizes;
}

std::vector<std::string> SpoolTempFiles(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.ends_with(".dd8-tmp")) names.push_back(name);
  }
  return names;
}

std::multiset<std::int32_t> ServerObjectNumbers(const tools::MessageServerEmulator& emulator) {
  std::multiset<std::int32_t> numbers;
  for (const tools::ReceivedMessage& m : emulator.Messages()) {
    if (!m.valid || m.type != mtStationEvent) continue;
    if (const auto event = DecodeStationEvent(m.body)) numbers.insert(event->ObjectNumber);
  }
  return numbers;
}

std::vector<std::int32_t> MissingNumbers(const std::vector<std::int32_t>& sent,
                                         const std::multiset<std::int32_t>& at_server,
                                         const std::multiset<std::int32_t>& spooled) {
  std::vector<std::int32_t> missing;
  for (std::int32_t n : sent) {
    if (at_server.count(n) == 0 && spooled.count(n) == 0) missing.push_back(n);
  }
  return missing;
}

}  // namespace drvvzt::testing
