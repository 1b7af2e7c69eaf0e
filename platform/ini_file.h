// Reading and writing single values of an INI profile file ("drvvzt.ini").
//
// Sections and keys are matched without regard to letter case; blanks around a
// value are trimmed; at most 2047 characters of a value are seen; lines starting
// with ';' are comments. A missing file, section or key yields the default.
// A write creates the file, the section and the key as needed, replaces an
// existing value and leaves every other line as it was; it goes to a temporary
// file in the same directory that is flushed and renamed over the original, so a
// failure never leaves a half-written file.
//
// Every call opens, reads or writes and closes the file: no handle is held.
// Calls are safe from several threads; a read that meets a concurrent write sees
// either the old or the new file. IniContent is the same lookup on text already
// read, for callers that keep a reading (ini_snapshot.h).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace drvvzt {

// The values of one INI text, looked up by the rules above. Immutable once
// parsed, so one reading may be shared by any number of threads.
class IniContent {
public:
  IniContent() = default;  // no file: every lookup gives the fallback
  static IniContent Parse(std::string_view text);

  std::optional<std::string_view> Find(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         const std::string& fallback) const;

private:
  struct CaseBlindLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  using Keys = std::map<std::string, std::string, CaseBlindLess>;
  std::map<std::string, Keys, CaseBlindLess> sections_;
};

// The value of key in section, or fallback when the file, section or key is missing.
std::string ReadIniString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& fallback);

// Writes key=value into section. False (errno kept) when the file cannot be written.
bool WriteIniString(const std::string& path, const std::string& section,
                    const std::string& key, const std::string& value);

}  // namespace drvvzt
