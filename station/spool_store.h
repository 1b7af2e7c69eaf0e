// The spool files' one home: their names, their layout and the directory they
// live in. Every part of the driver and its tools that writes, lists, reads,
// counts or sets aside spool files does it through this file.
//
// A location is a prefix in the form of PathForSoob: a directory part up to
// its last "/" (none: the current directory) and a name prefix that every
// spool file name starts with. The rescue directory is a second location of the
// same form ("<working directory>/rescue/").
//
// Names, under a location's prefix:
//   <base>.dd8                  a spool file waiting to be forwarded
//   <base>-<pid>-<n>.dd8-tmp    one being written (finished or removed at start)
//   <name>.dd8[.<n>].bad        one set aside as unreadable
// <base> is uppercase hexadecimal (see SpoolFileName); files copied in by an
// operator may have any base.
//
// Suffixes are matched without regard to letter case, everywhere: the driver
// writes ".dd8", but spool files carried over from a station PC running
// Windows, where the file system ignores case, often arrive as ".DD8", and an
// acknowledged event in such a file must not sit unseen. The name prefix is
// matched exactly, as the driver wrote it.
//
// Content, 26 bytes as the driver writes it, little-endian:
//   offset  width  content
//   0       4      message type, mtStationEvent (32 00 00 03)
//   4       22     the station event record
// Files from elsewhere may carry another type and a body of any length; they
// are forwarded as they are. A file shorter than its 4-byte type is unreadable.
//
// Thread-safety: a SpoolStore holds no state that changes after construction;
// calls from several threads are safe when the FileSystem's are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/sys_error.h"
#include "station/station_event.h"

namespace drvvzt {

inline constexpr std::size_t kSpoolTypeSize = 4;
inline constexpr std::size_t kSpoolFileSize = kSpoolTypeSize + kStationEventSize;
static_assert(kSpoolFileSize == 26);
// The rescue directory's name inside the working directory.
inline constexpr char kRescueDirName[] = "rescue";

// Milliseconds since the start of the month plus one day, in uppercase
// hexadecimal without leading zeros ("5265C00" .. "A4CB7FFF"). For a value that
// is not a valid date-time: code 11 to error_dir's "error.txt" and "".
std::string SpoolFileName(double t, const std::string& error_dir);

enum class SpoolFileKind { kWaiting, kTemporary, kSetAside };

// What a file name is under a name prefix (the part of a location after its
// directory), nothing when it is no spool file.
std::optional<SpoolFileKind> ClassifySpoolName(const std::string& name, const std::string& prefix);
// True for a waiting spool file's name under a name prefix.
bool IsSpoolFileName(const std::string& name, const std::string& prefix);

// The 26 bytes of a spool file for a record.
std::array<std::uint8_t, kSpoolFileSize> SpoolFileContent(const StationEventBytes& record);

// A spool file's message: the type from its first four bytes, the rest as body.
struct SpoolMessage {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> body;
};
// Nothing when bytes are shorter than the type.
std::optional<SpoolMessage> ParseSpoolFile(const std::string& bytes);
// True for exactly what the driver writes: 26 bytes of type mtStationEvent.
bool IsCompleteRecordFile(const std::string& bytes);

struct SpoolFile {
  std::string path;  // prefix's directory part + name
  std::string name;
  SpoolFileKind kind = SpoolFileKind::kWaiting;
  std::int64_t mtime_ns = 0;
  std::uint64_t size = 0;
};

// Outcome of SpoolStore::Put.
struct SpoolPut {
  std::string path;  // the spool file now holding the record; empty on failure
  SysError error;    // why the record is not on disk
  // The directory could not be flushed after the record got its name: it is on
  // disk and will be forwarded, but a power cut may still take its name.
  SysError directory_sync;
  bool ok() const { return !path.empty(); }
};

// Outcome of SpoolStore::Read.
struct SpoolRead {
  std::optional<SpoolMessage> message;
  SysError error;        // the file could not be opened or read
  std::size_t size = 0;  // bytes read, when it could be
  bool ok() const { return message.has_value(); }
  // Why there is no message: the failed call, or a file too short.
  std::string Problem(const std::string& path) const;
};

// Outcome of SpoolStore::RecoverLeftovers.
struct SpoolRecovery {
  std::vector<std::string> finished;  // complete temporaries, now spool files
  std::vector<std::string> removed;   // incomplete ones
  std::vector<SysError> failures;     // what could be neither
};

class SpoolStore {
public:
  explicit SpoolStore(std::string prefix, FileSystem& fs = PosixFileSystem());

  const std::string& Prefix() const { return prefix_; }
  // The directory the files are in ("" = the current directory).
  std::string Directory() const;
  // True when the prefix names a directory (ends with "/").
  bool NamesDirectory() const;

  // Writes the record durably: the directory is created when the prefix names
  // one, the bytes go to a temporary name and are flushed to disk, the file is
  // then given the name base + ".dd8" without replacing any file (when that is
  // taken, the following hexadecimal values of base are tried), and the
  // directory is flushed.
  SpoolPut Put(const std::string& base, const StationEventBytes& record);

  // The files of the given kinds, oldest first: modification time, then name.
  SysError List(std::vector<SpoolFile>& files,
                std::initializer_list<SpoolFileKind> kinds = {SpoolFileKind::kWaiting}) const;
  // The number of waiting files and, with_oldest, the oldest one's modification
  // time; cheaper than List when the time is not needed.
  SysError Count(bool with_oldest, std::size_t& files, std::optional<std::time_t>& oldest) const;

  SpoolRead Read(const std::string& path) const;
  SysError ReadBytes(const std::string& path, std::string& bytes) const;
  SysError Remove(const std::string& path) const;
  // Renames a file that cannot be forwarded to path + ".bad" (or path + ".<n>.bad"
  // when that is taken, never replacing an earlier one); the new path in
  // `set_aside`.
  SysError SetAside(const std::string& path, std::string& set_aside) const;

  // Finishes the temporary files a crash left behind: a complete one gets a
  // free spool name from the base in its own name, an incomplete one is removed.
  SpoolRecovery RecoverLeftovers();

private:
  std::string TempPath(const std::string& base);
  // Gives temp a free spool name from base; the path, or empty with `error`.
  std::string Publish(const std::string& temp, const std::string& base, SysError& error,
                      SysError& directory_sync);
  std::string DirectoryPart() const;  // up to and including the last "/"
  std::string NamePrefix() const;

  std::string prefix_;
  FileSystem* fs_;
};

}  // namespace drvvzt
