// Reading the driver's status file and judging it; see driver_status.h.
#include "tools/lib/driver_status.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace drvvzt::tools {
namespace {

// A status file is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kMaxStatusBytes = 64 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

// Exactly `digits` decimal digits at text[at]; advances `at`.
bool Digits(std::string_view text, std::size_t& at, std::size_t digits, int& out) {
  if (at + digits > text.size()) return false;
  int value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  at += digits;
  out = value;
  return true;
}

bool Expect(std::string_view text, std::size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yoe = year - era * 400;
  const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

std::optional<long> Number(std::string_view text) {
  long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<bool> Flag(std::string_view text) {
  if (text == "1") return true;
  if (text == "0") return false;
  return std::nullopt;
}

void Add(StatusCheck& check, CheckState state, std::string text) {
  check.findings.push_back({state, std::move(text)});
  check.state = Worse(check.state, state);
}

// A limit is passed when the age is above it, so a limit of 0 flags any age.
CheckState ByAge(std::int64_t age, std::int64_t warning, std::int64_t critical) {
  if (age > critical) return CheckState::kCritical;
  if (age > warning) return CheckState::kWarning;
  return CheckState::kOk;
}

std::int64_t AgeAt(std::int64_t now, std::int64_t then) {
  return std::max<std::int64_t>(0, now - then);
}

std::string CountText(const std::optional<long>& n) { return n ? std::to_string(*n) : "?"; }

void CheckSpool(const DriverStatus& s, const StatusThresholds& limits, std::int64_t now,
                StatusCheck& check) {
  if (s.spool_lost.value_or(0) > 0) {
    Add(check, CheckState::kCritical, std::to_string(*s.spool_lost) + " records lost since start");
  }
  if (s.spool_memory.value_or(0) > 0) {
    Add(check, CheckState::kCritical,
        std::to_string(*s.spool_memory) + " records held only in memory: no directory takes them");
  }
  if (s.spool_rescue_files.value_or(0) > 0) {
    Add(check, CheckState::kWarning,
        std::to_string(*s.spool_rescue_files) +
            " files in rescue/: the spool directory refuses them");
  }
  if (s.spool_oldest) {
    const std::int64_t age = AgeAt(now, *s.spool_oldest);
    const CheckState state = ByAge(age, limits.spool_age_warning, limits.spool_age_critical);
    if (state != CheckState::kOk) {
      Add(check, state, "oldest spool file waiting for " + DurationText(age));
    }
  }
}

// How long the link has been down; from the start when the change is not known.
std::optional<std::int64_t> LinkDownFor(const DriverStatus& s, std::int64_t now) {
  if (s.server_since) return AgeAt(now, *s.server_since);
  if (s.started) return AgeAt(now, *s.started);
  return std::nullopt;
}

void CheckServer(const DriverStatus& s, const StatusThresholds& limits, std::int64_t now,
                 StatusCheck& check) {
  if (!s.server_enabled.value_or(true)) return;
  if (s.server_link == "denied") {
    Add(check, CheckState::kCritical, "the server denied the driver (" + s.server_address + ")");
    return;
  }
  if (s.server_link != "down") return;
  const auto down = LinkDownFor(s, now);
  const CheckState state = down ? ByAge(*down, limits.link_down_warning, limits.link_down_critical)
                                : CheckState::kWarning;
  if (state != CheckState::kOk) {
    Add(check, state,
        "server link down" + (down ? " for " + DurationText(*down) : std::string()) + " (" +
            s.server_address + ")");
  }
}

void CheckStation(const DriverStatus& s, const StatusThresholds& limits, std::int64_t now,
                  StatusCheck& check) {
  if (s.station_open == false) {
    // The operator may have stopped the port on purpose, or not chosen one yet.
    const std::string port = s.station_port.empty() || s.station_port == "COM255"
                                 ? "no station port chosen"
                                 : "station port " + s.station_port + " not open";
    Add(check, CheckState::kWarning, port + " (stopped by the operator?)");
    return;
  }
  const auto since = s.station_last_packet ? s.station_last_packet : s.started;
  CheckState state = s.station_alive == false ? CheckState::kWarning : CheckState::kOk;
  if (since) {
    const std::int64_t silent = AgeAt(now, *since);
    state = Worse(state, ByAge(silent, limits.silence_warning, limits.silence_critical));
  }
  if (state == CheckState::kOk) return;
  std::string text = "station silent";
  if (s.station_last_packet) {
    text += ", last packet " + DurationText(AgeAt(now, *s.station_last_packet)) + " ago";
  } else if (s.started) {
    text += ", no packet since the start " + DurationText(AgeAt(now, *s.started)) + " ago";
  } else {
    text += ", no packet since the start";
  }
  Add(check, state, text);
}

std::string TimeAndAge(const std::optional<std::int64_t>& t, std::int64_t now) {
  if (!t) return "never";
  return DurationText(AgeAt(now, *t)) + " ago";
}

void Summarize(const DriverStatus& s, std::int64_t now, StatusCheck& check) {
  std::ostringstream driver, station, server, spool;
  driver << "driver   pid " << (s.pid ? std::to_string(*s.pid) : "?") << ", version "
         << (s.version.empty() ? "?" : s.version) << ", started " << TimeAndAge(s.started, now)
         << ", status written " << TimeAndAge(s.updated, now);
  station << "station  " << (s.station_port.empty() ? "?" : s.station_port);
  if (!s.station_device.empty()) station << " (" << s.station_device << ")";
  station << (s.station_open == true ? " open" : " not open") << ", last packet "
          << TimeAndAge(s.station_last_packet, now)
          << (s.station_alive == true ? ", alive" : ", not alive") << ", "
          << CountText(s.station_fragments) << " fragments";
  if (!s.server_enabled.value_or(true)) {
    server << "server   no server link (SendT8=0)";
  } else {
    server << "server   " << (s.server_address.empty() ? "?" : s.server_address) << " "
           << (s.server_link.empty() ? "?" : s.server_link);
    if (s.server_since) server << " for " << DurationText(AgeAt(now, *s.server_since));
    server << (s.server_registered == true ? ", registered" : ", not registered");
  }
  spool << "spool    " << CountText(s.spool_files) << " files waiting";
  if (s.spool_oldest) spool << " (oldest " << TimeAndAge(s.spool_oldest, now) << ")";
  spool << ", " << CountText(s.spool_rescue_files) << " in rescue, " << CountText(s.spool_memory)
        << " in memory, " << CountText(s.spool_lost) << " lost";
  check.summary = {driver.str(), station.str(), server.str(), spool.str()};
}

void Perfdata(const DriverStatus& s, const StatusThresholds& limits, std::int64_t now,
              std::int64_t age, StatusCheck& check) {
  std::ostringstream out;
  out << "status_age=" << age << "s;;" << limits.stale;
  out << " spool_files=" << s.spool_files.value_or(0);
  out << " spool_oldest_age=" << (s.spool_oldest ? AgeAt(now, *s.spool_oldest) : 0) << "s;"
      << limits.spool_age_warning << ';' << limits.spool_age_critical;
  out << " rescue_files=" << s.spool_rescue_files.value_or(0);
  out << " memory_records=" << s.spool_memory.value_or(0);
  out << " lost_records=" << s.spool_lost.value_or(0);
  const bool down = s.server_enabled.value_or(true) && s.server_link != "up";
  out << " link_down=" << (down ? LinkDownFor(s, now).value_or(0) : 0) << "s;"
      << limits.link_down_warning << ';' << limits.link_down_critical;
  const auto since = s.station_last_packet ? s.station_last_packet : s.started;
  out << " station_silence=" << (since ? AgeAt(now, *since) : 0) << "s;" << limits.silence_warning
      << ';' << limits.silence_critical;
  out << " fragments=" << s.station_fragments.value_or(0) << 'c';
  check.perfdata = out.str();
}

std::string Problems(const StatusCheck& check) {
  if (check.findings.empty()) return "all well";
  std::string text;
  for (const Finding& f : check.findings) {
    if (!text.empty()) text += "; ";
    text += f.text;
  }
  return text;
}

using Status = DriverStatus;
using Text = std::string_view;

// Where each key of the file goes.
struct KeyReader {
  std::string_view key;
  void (*read)(DriverStatus&, std::string_view value);
};
const KeyReader kKeyReaders[] = {
    {"version", [](Status& s, Text v) { s.version = v; }},
    {"pid", [](Status& s, Text v) { s.pid = Number(v); }},
    {"started", [](Status& s, Text v) { s.started = ParseIsoTime(v); }},
    {"updated",
     [](Status& s, Text v) {
       s.has_updated = true;
       s.updated = ParseIsoTime(v);
     }},
    {"station.port", [](Status& s, Text v) { s.station_port = v; }},
    {"station.device", [](Status& s, Text v) { s.station_device = v; }},
    {"station.open", [](Status& s, Text v) { s.station_open = Flag(v); }},
    {"station.last_packet", [](Status& s, Text v) { s.station_last_packet = ParseIsoTime(v); }},
    {"station.alive", [](Status& s, Text v) { s.station_alive = Flag(v); }},
    {"station.fragments", [](Status& s, Text v) { s.station_fragments = Number(v); }},
    {"server.enabled", [](Status& s, Text v) { s.server_enabled = Flag(v); }},
    {"server.address", [](Status& s, Text v) { s.server_address = v; }},
    {"server.link", [](Status& s, Text v) { s.server_link = v; }},
    {"server.since", [](Status& s, Text v) { s.server_since = ParseIsoTime(v); }},
    {"server.registered", [](Status& s, Text v) { s.server_registered = Flag(v); }},
    {"spool.files", [](Status& s, Text v) { s.spool_files = Number(v); }},
    {"spool.oldest", [](Status& s, Text v) { s.spool_oldest = ParseIsoTime(v); }},
    {"spool.rescue_files", [](Status& s, Text v) { s.spool_rescue_files = Number(v); }},
    {"spool.memory", [](Status& s, Text v) { s.spool_memory = Number(v); }},
    {"spool.lost", [](Status& s, Text v) { s.spool_lost = Number(v); }},
};

}  // namespace

std::optional<std::int64_t> ParseIsoTime(std::string_view text) {
  std::size_t at = 0;
  int year, month, day, hour, minute, second;
  if (!Digits(text, at, 4, year) || !Expect(text, at, '-') || !Digits(text, at, 2, month) ||
      !Expect(text, at, '-') || !Digits(text, at, 2, day) || !Expect(text, at, 'T') ||
      !Digits(text, at, 2, hour) || !Expect(text, at, ':') || !Digits(text, at, 2, minute) ||
      !Expect(text, at, ':') || !Digits(text, at, 2, second)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  if (at < text.size() && (text[at] == '.' || text[at] == ',')) {
    ++at;
    const std::size_t first = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == first) return std::nullopt;
  }
  int offset = 0;
  if (at < text.size() && text[at] == 'Z') {
    ++at;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const int sign = text[at++] == '-' ? -1 : 1;
    int oh = 0, om = 0;
    if (!Digits(text, at, 2, oh)) return std::nullopt;
    if (at < text.size() && text[at] == ':') ++at;
    if (at < text.size() && !Digits(text, at, 2, om)) return std::nullopt;
    if (oh > 23 || om > 59) return std::nullopt;
    offset = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;  // a local time without its offset is ambiguous
  }
  if (at != text.size()) return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
}

DriverStatus ParseStatusText(std::string_view text) {
  DriverStatus s;
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    const std::string_view line = text.substr(0, eol);
    text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    for (const KeyReader& reader : kKeyReaders) {
      if (key == reader.key) reader.read(s, value);
    }
  }
  return s;
}

StatusReading ReadStatusDirectory(const std::string& dir) {
  StatusReading reading;
  reading.dir = dir;
  const std::string path = (dir.empty() ? std::string(".") : dir) + "/" + kStatusFileName;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    reading.error = "open " + path + ": " + std::strerror(errno);
    return reading;
  }
  std::string text;
  text.resize(kMaxStatusBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    reading.error = "read " + path + ": " + std::strerror(errno);
    return reading;
  }
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxStatusBytes) {
    reading.error = "read " + path + ": more than " + std::to_string(kMaxStatusBytes) +
                    " bytes, not a status file";
    return reading;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) reading.mtime = st.st_mtim.tv_sec;
  reading.readable = true;
  reading.status = ParseStatusText(text);
  return reading;
}

std::string_view CheckStateName(CheckState state) {
  switch (state) {
    case CheckState::kOk: return "OK";
    case CheckState::kWarning: return "WARNING";
    case CheckState::kCritical: return "CRITICAL";
    case CheckState::kUnknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

int Severity(CheckState state) {
  switch (state) {
    case CheckState::kOk: return 0;
    case CheckState::kWarning: return 1;
    case CheckState::kUnknown: return 2;
    case CheckState::kCritical: return 3;
  }
  return 2;
}

CheckState Worse(CheckState a, CheckState b) { return Severity(a) >= Severity(b) ? a : b; }

StatusCheck EvaluateStatus(const StatusReading& reading, const StatusThresholds& limits,
                           std::int64_t now, const ProcessProbe& process_exists) {
  StatusCheck check;
  check.dir = reading.dir;
  if (!reading.readable) {
    Add(check, CheckState::kUnknown, "no status file: " + reading.error);
    return check;
  }
  const DriverStatus& s = reading.status;
  if (!s.has_updated) {
    Add(check, CheckState::kUnknown, std::string(kStatusFileName) + " has no \"updated\" line");
    return check;
  }
  const std::optional<std::int64_t> written = s.updated ? s.updated : reading.mtime;
  if (!written) {
    Add(check, CheckState::kUnknown, "no time of writing: \"updated\" is empty and no file time");
    return check;
  }
  const std::int64_t age = AgeAt(now, *written);
  Summarize(s, now, check);
  Perfdata(s, limits, now, age, check);
  // A driver that is gone or stuck left values that no longer mean anything.
  if (s.pid && process_exists && !process_exists(*s.pid)) {
    Add(check, CheckState::kCritical, "driver not running: no process " + std::to_string(*s.pid));
    return check;
  }
  if (age > limits.stale) {
    Add(check, CheckState::kCritical,
        "status not written for " + DurationText(age) + ": driver not running or stuck");
    return check;
  }
  CheckSpool(s, limits, now, check);
  CheckServer(s, limits, now, check);
  CheckStation(s, limits, now, check);
  std::stable_sort(
      check.findings.begin(), check.findings.end(),
      [](const Finding& a, const Finding& b) { return Severity(a.state) > Severity(b.state); });
  return check;
}

std::string DurationText(std::int64_t seconds) {
  if (seconds < 120) return std::to_string(seconds) + " s";
  const std::int64_t minutes = seconds / 60;
  if (minutes < 60) return std::to_string(minutes) + " min";
  const std::int64_t hours = minutes / 60;
  if (hours < 48) {
    const std::int64_t rest = minutes % 60;
    return std::to_string(hours) + " h" + (rest ? " " + std::to_string(rest) + " min" : "");
  }
  const std::int64_t rest = hours % 24;
  return std::to_string(hours / 24) + " d" + (rest ? " " + std::to_string(rest) + " h" : "");
}

CheckState OverallState(const std::vector<StatusCheck>& checks) {
  CheckState state = CheckState::kOk;
  for (const StatusCheck& c : checks) state = Worse(state, c.state);
  return state;
}

std::string CheckReport(const std::vector<StatusCheck>& checks) {
  std::ostringstream out;
  out << "DRVVZT " << CheckStateName(OverallState(checks)) << " - ";
  if (checks.size() == 1) {
    out << checks[0].dir << ": " << Problems(checks[0]);
    if (!checks[0].perfdata.empty()) out << " | " << checks[0].perfdata;
  } else {
    int counts[4] = {};
    for (const StatusCheck& c : checks) ++counts[static_cast<int>(c.state)];
    out << checks.size() << " drivers:";
    const char* separator = " ";
    for (CheckState state : {CheckState::kCritical, CheckState::kWarning, CheckState::kUnknown,
                             CheckState::kOk}) {
      if (counts[static_cast<int>(state)] == 0) continue;
      std::string name(CheckStateName(state));
      std::transform(name.begin(), name.end(), name.begin(), [](char c) { return char(c | 0x20); });
      out << separator << counts[static_cast<int>(state)] << ' ' << name;
      separator = ", ";
    }
  }
  out << '\n';
  for (const StatusCheck& c : checks) {
    if (checks.size() > 1) {
      out << c.dir << ": " << CheckStateName(c.state) << " - " << Problems(c) << '\n';
    }
    for (const std::string& line : c.summary) out << "  " << line << '\n';
  }
  return out.str();
}

}  // namespace drvvzt::tools
