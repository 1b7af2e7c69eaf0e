// The spool files' names, layout and directory; see spool_store.h.
#include "station/spool_store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <span>

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "platform/durable_file.h"
#include "platform/error_log.h"

namespace drvvzt {
namespace {

constexpr char kWaitingSuffix[] = ".dd8";
constexpr char kTempSuffix[] = ".dd8-tmp";
constexpr char kSetAsideSuffix[] = ".bad";
// How many following names are tried before a clash counts as a failure.
constexpr std::uint32_t kMaxNameTries = 1000;
// How many numbered ".bad" names are tried for one file set aside.
constexpr int kMaxSetAsideTries = 100;

std::string Hex(std::uint32_t n) {
  char text[9];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(n));
  return text;
}

// The base name of the k-th try: the base itself, then its successors. An empty
// base (the time could not be read) continues with 1, 2, ...
std::string Candidate(const std::string& base, std::uint32_t k) {
  if (k == 0) return base;
  const std::uint32_t n = ParseHexDigits(base).value_or(0);
  return Hex(n + k);
}

template <std::size_t N>
bool EndsWithAnyCase(const std::string& name, const char (&suffix)[N]) {
  constexpr std::size_t length = N - 1;
  if (name.size() < length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[name.size() - length + i]);
    if (std::tolower(c) != suffix[i]) return false;
  }
  return true;
}

bool Wanted(SpoolFileKind kind, std::initializer_list<SpoolFileKind> kinds) {
  return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

std::int64_t ModificationNs(const struct stat& info) {
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

}  // namespace

std::string SpoolFileName(double t, const std::string& error_dir) {
  const std::optional<DateTimeFields> f = SplitDateTime(t);
  if (!f) {
    WriteErrorLog(error_dir, kErrorSpoolName);
    return "";
  }
  const std::uint32_t n =
      (static_cast<std::uint32_t>(f->day) * 86400u + static_cast<std::uint32_t>(f->hour) * 3600u +
       static_cast<std::uint32_t>(f->minute) * 60u + static_cast<std::uint32_t>(f->second)) *
          1000u +
      static_cast<std::uint32_t>(f->millisecond);
  return Hex(n);
}

std::optional<SpoolFileKind> ClassifySpoolName(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::string rest = name.substr(prefix.size());
  if (EndsWithAnyCase(rest, kWaitingSuffix)) return SpoolFileKind::kWaiting;
  if (EndsWithAnyCase(rest, kTempSuffix)) return SpoolFileKind::kTemporary;
  if (EndsWithAnyCase(rest, kSetAsideSuffix)) return SpoolFileKind::kSetAside;
  return std::nullopt;
}

bool IsSpoolFileName(const std::string& name, const std::string& prefix) {
  return ClassifySpoolName(name, prefix) == SpoolFileKind::kWaiting;
}

std::array<std::uint8_t, kSpoolFileSize> SpoolFileContent(const StationEventBytes& record) {
  std::array<std::uint8_t, kSpoolFileSize> content{};
  PutU32(content, 0, mtStationEvent);
  std::copy(record.begin(), record.end(), content.begin() + kSpoolTypeSize);
  return content;
}

std::optional<SpoolMessage> ParseSpoolFile(const std::string& bytes) {
  if (bytes.size() < kSpoolTypeSize) return std::nullopt;
  SpoolMessage message;
  message.type = GetU32(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), kSpoolTypeSize), 0);
  message.body.assign(bytes.begin() + kSpoolTypeSize, bytes.end());
  return message;
}

bool IsCompleteRecordFile(const std::string& bytes) {
  const std::optional<SpoolMessage> message = ParseSpoolFile(bytes);
  return bytes.size() == kSpoolFileSize && message && message->type == mtStationEvent;
}

std::string SpoolRead::Problem(const std::string& path) const {
  if (!error.ok()) return error.Text();
  if (message) return {};
  return path + " is " + std::to_string(size) + " bytes, shorter than its " +
         std::to_string(kSpoolTypeSize) + "-byte message type";
}

SpoolStore::SpoolStore(std::string prefix, FileSystem& fs) : prefix_(std::move(prefix)), fs_(&fs) {}

std::string SpoolStore::Directory() const { return DirectoryOf(prefix_ + "x"); }

bool SpoolStore::NamesDirectory() const { return !prefix_.empty() && prefix_.back() == '/'; }

std::string SpoolStore::DirectoryPart() const {
  const std::size_t slash = prefix_.rfind('/');
  return slash == std::string::npos ? "" : prefix_.substr(0, slash + 1);
}

std::string SpoolStore::NamePrefix() const { return prefix_.substr(DirectoryPart().size()); }

std::string SpoolStore::TempPath(const std::string& base) {
  // One counter for the process: two stores on one location never pick the
  // same temporary name.
  static std::atomic<unsigned> counter{0};
  return prefix_ + base + "-" + std::to_string(::getpid()) + "-" +
         std::to_string(counter.fetch_add(1)) + kTempSuffix;
}

SpoolPut SpoolStore::Put(const std::string& base, const StationEventBytes& record) {
  SpoolPut put;
  if (NamesDirectory()) {
    put.error = EnsureDirectory(*fs_, Directory());
    if (!put.error.ok()) return put;
  }
  const std::string temp = TempPath(base);
  put.error = WriteNewFileDurably(*fs_, temp, SpoolFileContent(record));
  if (!put.error.ok()) return put;
  put.path = Publish(temp, base, put.error, put.directory_sync);
  // A temporary that stays behind is finished at the next start.
  if (!put.ok()) RemoveFile(*fs_, temp);
  return put;
}

std::string SpoolStore::Publish(const std::string& temp, const std::string& base, SysError& error,
                                SysError& directory_sync) {
  for (std::uint32_t k = 0; k < kMaxNameTries; ++k) {
    const std::string final_path = prefix_ + Candidate(base, k) + kWaitingSuffix;
    switch (RenameNoReplace(*fs_, temp, final_path, error)) {
      case LinkResult::kLinked:
        directory_sync = SyncDirectory(*fs_, Directory());
        return final_path;
      case LinkResult::kNameTaken:
        continue;
      case LinkResult::kFailed:
        return {};
    }
  }
  error = SysError::Of(EEXIST, "link", temp);
  return {};
}

SysError SpoolStore::List(std::vector<SpoolFile>& files,
                          std::initializer_list<SpoolFileKind> kinds) const {
  files.clear();
  std::vector<std::string> names;
  if (SysError error = ListFiles(*fs_, Directory(), names); !error.ok()) return error;
  const std::string name_prefix = NamePrefix();
  const std::string directory_part = DirectoryPart();
  for (const std::string& name : names) {
    const std::optional<SpoolFileKind> kind = ClassifySpoolName(name, name_prefix);
    if (!kind || !Wanted(*kind, kinds)) continue;
    SpoolFile spool_file{directory_part + name, name, *kind, 0, 0};
    // A file removed since it was listed is left out.
    struct stat info {};
    if (fs_->Stat(spool_file.path, &info) != 0) continue;
    spool_file.mtime_ns = ModificationNs(info);
    spool_file.size = static_cast<std::uint64_t>(info.st_size);
    files.push_back(std::move(spool_file));
  }
  std::sort(files.begin(), files.end(), [](const SpoolFile& a, const SpoolFile& b) {
    return a.mtime_ns != b.mtime_ns ? a.mtime_ns < b.mtime_ns : a.name < b.name;
  });
  return {};
}

SysError SpoolStore::Count(bool with_oldest, std::size_t& files,
                           std::optional<std::time_t>& oldest) const {
  files = 0;
  oldest.reset();
  std::vector<std::string> names;
  if (SysError error = ListFiles(*fs_, Directory(), names); !error.ok()) return error;
  const std::string name_prefix = NamePrefix();
  const std::string directory_part = DirectoryPart();
  for (const std::string& name : names) {
    if (!IsSpoolFileName(name, name_prefix)) continue;
    ++files;
    if (!with_oldest) continue;
    struct stat info {};
    if (fs_->Stat(directory_part + name, &info) != 0) continue;
    if (!oldest || info.st_mtime < *oldest) oldest = info.st_mtime;
  }
  return {};
}

SysError SpoolStore::ReadBytes(const std::string& path, std::string& bytes) const {
  return ReadWholeFile(*fs_, path, bytes);
}

SpoolRead SpoolStore::Read(const std::string& path) const {
  SpoolRead read;
  std::string bytes;
  read.error = ReadBytes(path, bytes);
  if (!read.error.ok()) return read;
  read.size = bytes.size();
  read.message = ParseSpoolFile(bytes);
  return read;
}

SysError SpoolStore::Remove(const std::string& path) const { return RemoveFile(*fs_, path); }

SysError SpoolStore::SetAside(const std::string& path, std::string& set_aside) const {
  std::string target = path + kSetAsideSuffix;
  for (int n = 1; n <= kMaxSetAsideTries; ++n) {
    SysError error;
    switch (RenameNoReplace(*fs_, path, target, error)) {
      case LinkResult::kLinked:
        set_aside = target;
        return {};
      case LinkResult::kFailed:
        return error;
      case LinkResult::kNameTaken:
        target = path + "." + std::to_string(n) + kSetAsideSuffix;
        break;
    }
  }
  return SysError::Of(EEXIST, "link", target);
}

SpoolRecovery SpoolStore::RecoverLeftovers() {
  SpoolRecovery recovery;
  std::vector<SpoolFile> temporaries;
  if (SysError error = List(temporaries, {SpoolFileKind::kTemporary}); !error.ok()) {
    // A spool directory not made yet has nothing to recover.
    if (error.error_number != ENOENT) recovery.failures.push_back(error);
    return recovery;
  }
  const std::size_t name_prefix_size = NamePrefix().size();
  for (const SpoolFile& temp : temporaries) {
    std::string bytes;
    // One that cannot be read now may be whole: it stays for the next start.
    if (SysError error = ReadBytes(temp.path, bytes); !error.ok()) {
      recovery.failures.push_back(error);
      continue;
    }
    if (!IsCompleteRecordFile(bytes)) {
      if (SysError error = Remove(temp.path); !error.ok()) {
        recovery.failures.push_back(error);
      } else {
        recovery.removed.push_back(temp.path);
      }
      continue;
    }
    const std::string rest = temp.name.substr(name_prefix_size);
    const std::string base = rest.substr(0, rest.find('-'));
    SysError error;
    SysError directory_sync;
    const std::string path = Publish(temp.path, base, error, directory_sync);
    if (path.empty()) {
      recovery.failures.push_back(error);
    } else {
      recovery.finished.push_back(path);
    }
  }
  SyncDirectory(*fs_, Directory());
  return recovery;
}

}  // namespace drvvzt
