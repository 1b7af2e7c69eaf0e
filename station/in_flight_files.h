// The spool files whose message is on its way to the server: queued, or written
// and waiting for its reply. Spool forwarding leaves them alone until the server
// link has decided their fate (deleted on the answer, or handed back).
//
// A file is written and handed to the link under Hold(), and the forwarder
// checks a file it listed under Hold() too, so a file that has just appeared
// is never taken for a forgotten one in the moment between its creation and its
// registration.
//
// Thread-safe: the window's thread writes and forwards, the server link thread
// settles the files' fate.
#pragma once

#include <mutex>
#include <set>
#include <string>

namespace drvvzt {

class InFlightFiles {
public:
  // Held while a file is written and registered, or checked and registered.
  [[nodiscard]] std::unique_lock<std::mutex> Hold() {
    return std::unique_lock<std::mutex>(hold_);
  }

  void Add(const std::string& path) {
    std::lock_guard lock(mutex_);
    paths_.insert(path);
  }
  void Remove(const std::string& path) {
    std::lock_guard lock(mutex_);
    paths_.erase(path);
  }
  bool Contains(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return paths_.count(path) > 0;
  }
  std::size_t Count() const {
    std::lock_guard lock(mutex_);
    return paths_.size();
  }

private:
  std::mutex hold_;
  mutable std::mutex mutex_;
  std::set<std::string> paths_;
};

}  // namespace drvvzt
