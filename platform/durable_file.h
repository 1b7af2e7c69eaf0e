// File helpers that keep data safe across crashes and power cuts: whole-file
// reads, appends, atomic replacement of a file, durable creation of a file under
// a name that must not already exist, directory creation and listing.
//
// Every call opens, uses and closes what it touches; no handle is held. All calls
// are thread-safe (they share no state). Failures return false / nothing and
// leave errno set by the failing system call.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace drvvzt {

// The whole content of a file; nothing when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Appends bytes to the file, creating it when missing.
bool AppendToFile(const std::string& path, std::span<const std::uint8_t> bytes);
bool AppendToFile(const std::string& path, std::string_view text);

// Replaces path with content so that a reader sees either the old or the new
// file, never a mix: a temporary file next to it is written, flushed to disk and
// renamed over the original, and the directory is flushed. The original file's
// permission bits are kept.
bool ReplaceFileAtomically(const std::string& path, std::string_view content);

// Creates path exclusively (it must not exist), writes bytes, flushes them to
// disk and closes it. A partly written file is removed again on failure.
bool WriteNewFileDurably(const std::string& path, std::span<const std::uint8_t> bytes);

enum class LinkResult { kLinked, kNameTaken, kFailed };

// Gives the file `from` the name `to` without ever replacing an existing `to`,
// then drops the name `from`. kNameTaken leaves `from` in place.
LinkResult RenameNoReplace(const std::string& from, const std::string& to);

// Flushes a directory's entries to disk so that new names survive a power cut.
// dir empty means the current directory.
bool SyncDirectory(const std::string& dir);

// Creates the directory (and missing parents). True when it exists afterwards.
bool EnsureDirectory(const std::string& dir);

// Names (not paths) of the regular files in dir; empty dir means the current
// directory. Nothing when the directory cannot be read.
std::optional<std::vector<std::string>> ListFiles(const std::string& dir);

// Removes a file. True when it is gone (also when it was missing).
bool RemoveFile(const std::string& path);

// The directory part of a path ("" when the path has no "/"), without the final "/".
std::string DirectoryOf(const std::string& path);

}  // namespace drvvzt
