// The INI profile file reader and writer on top of plain files.
//
// A line is one of: blank, a comment (first non-blank character ';'), a section
// header "[name]", or "key=value". Anything else is ignored when reading and
// kept as it is when writing. When a key appears twice in a section, the first
// one counts. Line ends may be LF or CR LF; a write keeps the file's own style.
#include "platform/ini_file.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/durable_file.h"

namespace drvvzt {
namespace {

constexpr std::size_t kMaxValueLength = 2047;

// Writers take this so that two writes from this process do not lose each
// other's change; readers need no lock, since a write replaces the file whole.
std::mutex& WriteMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// ASCII only: the file's names are ASCII, and its other bytes (code page 1251
// text) must not change their meaning with the process locale.
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// The section name of a header line, or nothing when the line is no header.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct KeyValue {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyValue> KeyValueOf(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '[') return std::nullopt;
  const auto eq = trimmed.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyValue{Trim(trimmed.substr(0, eq)), Trim(trimmed.substr(eq + 1))};
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(text);
      break;
    }
    lines.push_back(text.substr(0, end + 1));  // keeps its line end
    text.remove_prefix(end + 1);
  }
  return lines;
}

// Where a key lives in a file: the line of the key (if present), the line after
// which a new key goes (the section's last non-blank line), whether the section exists.
struct KeyPlace {
  bool section_found = false;
  std::optional<std::size_t> key_line;
  std::size_t insert_after = 0;
};

KeyPlace FindKey(const std::vector<std::string_view>& lines, std::string_view section,
                 std::string_view key) {
  KeyPlace place;
  bool inside = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (const auto name = SectionOf(lines[i])) {
      if (place.section_found && inside) break;  // the first matching section counts
      inside = SameName(*name, section);
      if (inside) {
        place.section_found = true;
        place.insert_after = i;
      }
      continue;
    }
    if (!inside) continue;
    if (!Trim(lines[i]).empty()) place.insert_after = i;
    const auto kv = KeyValueOf(lines[i]);
    if (kv && !place.key_line && SameName(kv->key, key)) place.key_line = i;
  }
  return place;
}

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string WithLineEnd(std::string_view line, std::string_view eol) {
  std::string out(line);
  if (out.empty() || out.back() != '\n') out += eol;
  return out;
}

std::string Rewrite(std::string_view content, const std::string& section, const std::string& key,
                    const std::string& value) {
  const std::vector<std::string_view> lines = SplitLines(content);
  const std::string_view eol = content.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const KeyPlace place = FindKey(lines, section, key);
  const std::string entry = key + "=" + value;
  std::string out;
  out.reserve(content.size() + entry.size() + section.size() + 8);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (place.key_line && *place.key_line == i) {
      const auto kv = KeyValueOf(lines[i]);
      out += std::string(kv->key) + "=" + value;
      out += eol;
      continue;
    }
    // The last line may lack its line end; a line appended after it needs one.
    out += (i + 1 == lines.size() && !place.key_line) ? WithLineEnd(lines[i], eol)
                                                      : std::string(lines[i]);
    if (place.section_found && !place.key_line && i == place.insert_after) {
      out += entry;
      out += eol;
    }
  }
  if (!place.section_found) {
    out += "[" + section + "]";
    out += eol;
    out += entry;
    out += eol;
  }
  return out;
}

}  // namespace

bool IniContent::CaseBlindLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](char x, char y) { return LowerAscii(x) < LowerAscii(y); });
}

IniContent IniContent::Parse(std::string_view text) {
  IniContent content;
  Keys* current = nullptr;  // keys before the first header belong to no section
  for (const std::string_view line : SplitLines(text)) {
    if (const auto name = SectionOf(line)) {
      // A section that appears again is ignored: the first one counts, as for a
      // key that appears twice, and as the writer finds it.
      const auto [it, inserted] = content.sections_.try_emplace(std::string(*name));
      current = inserted ? &it->second : nullptr;
      continue;
    }
    if (current == nullptr) continue;
    if (const auto kv = KeyValueOf(line)) {
      current->try_emplace(std::string(kv->key),
                           std::string(kv->value.substr(0, kMaxValueLength)));
    }
  }
  return content;
}

std::optional<std::string_view> IniContent::Find(std::string_view section,
                                                 std::string_view key) const {
  const auto s = sections_.find(section);
  if (s == sections_.end()) return std::nullopt;
  const auto k = s->second.find(key);
  if (k == s->second.end()) return std::nullopt;
  return std::string_view(k->second);
}

std::string IniContent::ReadString(std::string_view section, std::string_view key,
                                   const std::string& fallback) const {
  const auto value = Find(section, key);
  return value ? std::string(*value) : fallback;
}

std::string ReadIniString(const std::string& path, const std::string& section,
                          const std::string& key, const std::string& fallback) {
  const int saved = errno;
  const std::optional<std::string> content = ReadWholeFile(path);
  errno = saved;  // a missing file is no error to report
  if (!content) return fallback;
  return IniContent::Parse(*content).ReadString(section, key, fallback);
}

bool WriteIniString(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value) {
  // A line break or a bracket in a name, or a line break in the value, would
  // write a line that reads back as something else.
  if (HasLineBreak(section) || section.find(']') != std::string::npos || HasLineBreak(key) ||
      key.find('=') != std::string::npos || Trim(key).empty() || Trim(key) != key ||
      key.front() == ';' || key.front() == '[' ||
      HasLineBreak(value)) {
    errno = EINVAL;
    return false;
  }
  std::lock_guard lock(WriteMutex());
  std::optional<std::string> content = ReadWholeFile(path);
  if (!content) {
    if (errno != ENOENT) return false;
    content.emplace();
  }
  return ReplaceFileAtomically(path, Rewrite(*content, section, key, value));
}

}  // namespace drvvzt
