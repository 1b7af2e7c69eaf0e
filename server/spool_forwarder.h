// Spool forwarding: while the server link is up, the spool files written while
// it was down go to the server one at a time, oldest first (by modification
// time, then by name). A file goes out again every 3 seconds until the server
// acknowledges it; it is deleted on the acknowledgement only when its message
// went out whole on the current connection since it was last queued, and the
// next file then goes out at once. A file that cannot be read or is shorter
// than its 4-byte message type is renamed to name + ".bad", reported with code
// 22 in "error.txt" and on the window's log, and skipped.
//
// The spool directory is listed once into an ordered list that is worked
// through; it is listed again only when the list runs empty or a file in it
// has vanished.
//
// Thread-safety: every public call is safe from any thread (one mutex). Step()
// is the window timer's forwarding part; the LinkObserver calls arrive on the
// server link thread, and OnSpoolAck() runs the forwarding step right there.
// The log function may therefore be called on either thread.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "server/spool_link.h"

namespace drvvzt {

inline constexpr int kErrorSpoolFileBad = 22;
// Log line for a spool file set aside; the file's path follows it.
inline constexpr char kLogSpoolFileBad[] = "Испорченный файл очереди отложен: ";

class SpoolForwarder final : public LinkObserver {
public:
  using LogFn = std::function<void(const std::string& text)>;

  // path_for_soob: the spool prefix (a directory only when it ends with "/";
  // empty means the working directory). error_dir: where "error.txt" lives.
  SpoolForwarder(SpoolLink& link, DateTimeClock& clock, std::string path_for_soob,
                 std::string error_dir, LogFn log = {});

  // One forwarding step: with the link up and more than 3 s since the last
  // forwarded file, queue the oldest spool file's message.
  void Step();

  std::string SentSpoolPath() const;
  double LastSpoolSend() const;

  void OnConnected() override;
  void OnMessageWritten(std::uint64_t sequence) override;
  void OnSpoolAck() override;

private:
  struct Entry {
    std::filesystem::file_time_type modified;
    std::string name;
  };

  void StepLocked();
  void Relist();
  void SetAside(const std::string& path);
  std::string PathOf(const Entry& entry) const { return dir_part_ + entry.name; }

  SpoolLink& link_;
  DateTimeClock& clock_;
  std::string dir_part_;     // prefix up to and including its last "/"
  std::string name_prefix_;  // what spool names start with after dir_part_
  std::string error_dir_;
  LogFn log_;

  mutable std::mutex mutex_;
  std::deque<Entry> pending_;
  std::string SentSpoolPath_;
  double LastSpoolSend_ = 0.0;
  std::optional<std::uint64_t> sent_sequence_;
  bool sent_written_ = false;
};

}  // namespace drvvzt
