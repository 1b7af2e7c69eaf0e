// File helpers that keep data safe across crashes and power cuts: whole-file
// reads, appends, atomic replacement of a file, durable creation of a file under
// a name that must not already exist, directory creation and listing.
//
// Every call opens, uses and closes what it touches; no handle is held. All calls
// are thread-safe when the FileSystem is (they share no state of their own).
//
// Each helper comes twice: working through a FileSystem and returning the failed
// call as a SysError (call, path, errno; ok() on success), and, for callers that
// only need yes or no, through the real file system with false / nothing and
// errno set by the failing call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/sys_error.h"

namespace drvvzt {

// The whole content of a file.
SysError ReadWholeFile(FileSystem& fs, const std::string& path, std::string& content);
std::optional<std::string> ReadWholeFile(const std::string& path);

// Appends bytes to the file, creating it when missing.
SysError AppendToFile(FileSystem& fs, const std::string& path, std::span<const std::uint8_t> bytes);
bool AppendToFile(const std::string& path, std::span<const std::uint8_t> bytes);
bool AppendToFile(const std::string& path, std::string_view text);

// Replaces path with content so that a reader sees either the old or the new
// file, never a mix: a temporary file next to it is written, flushed to disk and
// renamed over the original, and the directory is flushed. The original file's
// permission bits are kept. A failed directory flush does not count as failure:
// the content is safe already, only its survival of a power cut is weaker.
SysError ReplaceFileAtomically(FileSystem& fs, const std::string& path, std::string_view content);
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Creates path exclusively (it must not exist), writes bytes, flushes them to
// disk and closes it. A partly written file is removed again on failure.
SysError WriteNewFileDurably(FileSystem& fs, const std::string& path,
                             std::span<const std::uint8_t> bytes);
bool WriteNewFileDurably(const std::string& path, std::span<const std::uint8_t> bytes);

enum class LinkResult { kLinked, kNameTaken, kFailed };

// Gives the file `from` the name `to` without ever replacing an existing `to`,
// then drops the name `from`. kNameTaken leaves `from` in place; kFailed leaves
// the cause in `error`.
LinkResult RenameNoReplace(FileSystem& fs, const std::string& from, const std::string& to,
                           SysError& error);
LinkResult RenameNoReplace(const std::string& from, const std::string& to);

// Flushes a directory's entries to disk so that new names survive a power cut.
// dir empty means the current directory.
SysError SyncDirectory(FileSystem& fs, const std::string& dir);
bool SyncDirectory(const std::string& dir);

// Creates the directory (and missing parents). ok() when it exists afterwards.
SysError EnsureDirectory(FileSystem& fs, const std::string& dir);
bool EnsureDirectory(const std::string& dir);

// Names (not paths) of the regular files in dir (empty: the current directory),
// in no particular order. A stat() is made only where the listing does not
// tell a file's type, so a large spool directory costs one pass.
SysError ListFiles(FileSystem& fs, const std::string& dir, std::vector<std::string>& names);
std::optional<std::vector<std::string>> ListFiles(const std::string& dir);

// Removes a file. ok() when it is gone (also when it was missing).
SysError RemoveFile(FileSystem& fs, const std::string& path);
bool RemoveFile(const std::string& path);

// The directory part of a path ("" when the path has no "/"), without the final "/".
std::string DirectoryOf(const std::string& path);

}  // namespace drvvzt
