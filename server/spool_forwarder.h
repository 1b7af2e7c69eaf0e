// Spool forwarding: while the server link is up, the spool files go to the
// server one at a time, oldest first (by modification time, then by name).
// Files come from the spool location and from the rescue directory.
//
// A file is queued once and stays in flight until the server link settles its
// fate; until then it is neither sent again nor deleted by anyone else. On
// mtSpoolAck the link deletes it and the next file goes out at once. Otherwise
// the same file goes out again 3 s after it was last sent, measured on the
// monotonic tick, so that a wall clock set back or forward changes nothing. A
// file the server answers 10 times with something else than mtSpoolAck goes to
// the back of the order: it is retried after the others, never deleted without
// its acknowledgement.
//
// Files whose message is in flight for another reason (a live event's
// write-ahead file, see InFlightFiles) are passed over. A file that cannot be
// read or is shorter than its 4-byte message type is set aside (SpoolStore::
// SetAside), reported with code 22 in "error.txt" and on the window's log, and
// skipped; one that cannot even be set aside is reported once and skipped until
// the driver restarts, so that it cannot hold up the files behind it. A file
// missing since the listing, or one the process lacks the descriptors or memory
// to read, is passed over until the next listing.
//
// The locations are listed once into an ordered list that is worked through;
// they are listed again when the list has nothing left to send. A location
// that cannot be listed is reported once per run of failures; the others go on.
//
// Thread-safety: every public call is safe from any thread (one mutex). Step()
// is the window timer's forwarding part; the link's reports arrive on the
// server link thread, and an acknowledgement runs the forwarding step right
// there. The log function may therefore be called on either thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "server/spool_link.h"
#include "station/in_flight_files.h"
#include "station/spool_store.h"

namespace drvvzt {

inline constexpr int kErrorSpoolFileBad = 22;
// Log line for a spool file set aside; the file's path follows it.
inline constexpr char kLogSpoolFileBad[] = "Испорченный файл очереди отложен: ";
inline constexpr std::uint32_t kSpoolResendSpacingMs = 3000;
// Answers other than mtSpoolAck after which a file goes to the back of the order.
inline constexpr int kSpoolRefusalLimit = 10;

class SpoolForwarder final {
public:
  using LogFn = std::function<void(const std::string& text)>;

  // path_for_soob: the spool prefix (a directory only when it ends with "/";
  // empty means the working directory). error_dir: where "error.txt" lives.
  // Spool files are read and set aside through fs.
  SpoolForwarder(SpoolLink& link, InFlightFiles& in_flight, TickClock& tick,
                 std::string path_for_soob, std::string error_dir, LogFn log = {},
                 FileSystem& fs = PosixFileSystem());

  // Another prefix whose spool files are forwarded too (the rescue directory).
  void AddLocation(const std::string& prefix);

  // One forwarding step: with the link up, no file in flight and the spacing
  // passed, queue the oldest file's message.
  void Step();

  // True while a step can have something to do before the next listing: with
  // the link up, a file in flight or listed and not yet sent. The driver's tick
  // keeps its 200 ms pace for as long as this holds.
  bool HasWork() const;

  // The file forwarded last ("" before the first).
  std::string SentSpoolPath() const;
  // The file whose message is on its way, if any.
  std::optional<std::string> InFlightPath() const;

  // The link's reports (LinkReports::Connected, LinkReports::SpoolFileSettled).
  void OnConnected();
  void OnSpoolFileSettled(const std::string& path, SpoolFate fate);

private:
  struct Location {
    SpoolStore store;
    bool listing_failed = false;  // reported for the current run of failures
  };
  struct Entry {
    bool demoted;
    std::int64_t mtime_ns;
    std::string path;
    std::size_t location;  // index into locations_
  };

  void StepLocked();
  // Tries the listed files in order; true when one was queued or the queue
  // refused one (nothing more to do this step).
  bool SendFirstLocked();
  void Relist();
  void ListLocation(std::size_t index);
  void SetAside(const Entry& entry, const std::string& problem);
  void NoteRefusalLocked(const std::string& path);

  SpoolLink& link_;
  InFlightFiles& in_flight_;
  TickClock& tick_;
  std::string error_dir_;
  LogFn log_;
  FileSystem& fs_;

  mutable std::mutex mutex_;
  std::vector<Location> locations_;
  std::deque<Entry> pending_;
  std::string sent_path_;
  std::optional<std::string> in_flight_path_;
  std::uint32_t last_send_tick_ = 0;
  bool send_now_ = true;
  std::map<std::string, int> refusals_;
  std::set<std::string> demoted_;
  std::set<std::string> stuck_;  // could be neither read nor set aside
};

}  // namespace drvvzt
