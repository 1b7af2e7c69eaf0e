// The status-file check behind drvvzt-status: times read from the file, the
// state each kind of trouble gives at a fixed "now", and the report.
#include "tools/lib/driver_status.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.h"

namespace drvvzt::tools {
namespace {

using testing::TempDir;

TEST(StatusTime, IsoTimesWithTheirOffset) {
  // 2026-12-10T17:00:00Z
  constexpr std::int64_t kUtc = 1796922000;
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"2026-12-10T17:00:00Z", kUtc},
      {"2026-12-10T18:00:00+01:00", kUtc},
      {"2026-12-10T12:30:00-0430", kUtc},
      {"2026-12-11T02:00:00+09", kUtc},
      {"2026-12-10T18:00:00.250+01:00", kUtc},
      {"2028-02-29T00:00:00Z", 1835395200},
      {"1970-01-01T00:00:00Z", 0},
      {"", std::nullopt},
      {"2026-12-10T18:00:00", std::nullopt},  // local time without its offset
      {"2026-12-10 18:00:00+01:00", std::nullopt},
      {"2026-02-29T00:00:00Z", std::nullopt},
      {"2026-13-01T00:00:00Z", std::nullopt},
      {"2026-12-10T24:00:00Z", std::nullopt},
      {"2026-12-10T18:00:00+01:00 ", std::nullopt},
      {"2026-12-10T18:00:00+1:00", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(ParseIsoTime(text), expected) << text;
}

// "now" of every case: 2026-12-10T18:00:00+01:00.
constexpr std::int64_t kNow = 1796922000;

// Ago(90): 90 s before kNow, written as the driver would, in +01:00.
std::string Ago(int seconds) {
  const std::int64_t t = kNow - seconds + 3600;  // in +01:00
  const std::int64_t day = t / 86400, s = t % 86400;
  // Cases stay on 2026-12-09/10, so the date is one of two.
  const std::string date = day == kNow / 86400 ? "2026-12-10" : "2026-12-09";
  char text[40];
  std::snprintf(text, sizeof text, "%sT%02d:%02d:%02d+01:00", date.c_str(), int(s / 3600),
                int(s / 60 % 60), int(s % 60));
  return text;
}

constexpr long kLivePid = 4242;

// A driver in good health: written 5 s ago, a packet 20 s ago, link up.
std::map<std::string, std::string> Healthy() {
  return {
      {"version", "1.0.0.1"},     {"pid", std::to_string(kLivePid)},
      {"started", Ago(7200)},     {"updated", Ago(5)},
      {"station.port", "COM5"},   {"station.device", "/dev/ttyUSB0"},
      {"station.open", "1"},      {"station.last_packet", Ago(20)},
      {"station.alive", "1"},     {"station.fragments", "0"},
      {"server.enabled", "1"},    {"server.address", "127.0.0.1:12543"},
      {"server.link", "up"},      {"server.since", Ago(7100)},
      {"server.registered", "1"}, {"spool.files", "0"},
      {"spool.oldest", ""},       {"spool.rescue_files", "0"},
      {"spool.memory", "0"},      {"spool.lost", "0"},
  };
}

struct StatusCase {
  const char* name;
  std::map<std::string, std::string> changes;  // value "<drop>" removes the key
  CheckState expected;
  const char* finding = "";  // fragment of the first finding
  std::optional<std::int64_t> mtime = kNow - 5;
  StatusThresholds limits = {};
};

StatusReading Reading(const StatusCase& c) {
  auto keys = Healthy();
  for (const auto& [key, value] : c.changes) {
    if (value == "<drop>")
      keys.erase(key);
    else
      keys[key] = value;
  }
  std::string text = "future.key=whatever\n";
  for (const auto& [key, value] : keys) text += key + "=" + value + "\r\n";
  StatusReading reading;
  reading.dir = "/var/lib/drvvzt/a";
  reading.readable = true;
  reading.status = ParseStatusText(text);
  reading.mtime = c.mtime;
  return reading;
}

TEST(StatusCheck, EachTroubleGivesItsState) {
  StatusThresholds short_stale;
  short_stale.stale = 3;
  const StatusCase cases[] = {
      {"healthy", {}, CheckState::kOk},
      {"no updated line", {{"updated", "<drop>"}}, CheckState::kUnknown, "no \"updated\" line"},
      {"updated at the limit", {{"updated", Ago(30)}}, CheckState::kOk},
      {"stale",
       {{"updated", Ago(31)}},
       CheckState::kCritical,
       "not written for 31 s: driver not running or stuck"},
      {"stale by a shorter limit",
       {},
       CheckState::kCritical,
       "not written for 5 s",
       kNow - 5,
       short_stale},
      {"updated empty, fresh file", {{"updated", ""}}, CheckState::kOk},
      {"updated empty, old file",
       {{"updated", ""}},
       CheckState::kCritical,
       "driver not running",
       kNow - 600},
      {"updated empty, no file time",
       {{"updated", ""}},
       CheckState::kUnknown,
       "no time of writing",
       std::nullopt},
      {"process gone", {{"pid", "999"}}, CheckState::kCritical, "no process 999"},
      {"records lost", {{"spool.lost", "2"}}, CheckState::kCritical, "2 records lost"},
      {"records in memory",
       {{"spool.memory", "7"}},
       CheckState::kCritical,
       "7 records held only in memory"},
      {"rescue files", {{"spool.rescue_files", "1"}}, CheckState::kWarning, "1 files in rescue/"},
      {"link down briefly", {{"server.link", "down"}, {"server.since", Ago(60)}}, CheckState::kOk},
      {"link down",
       {{"server.link", "down"}, {"server.since", Ago(61)}},
       CheckState::kWarning,
       "server link down for 61 s"},
      {"link down long",
       {{"server.link", "down"}, {"server.since", Ago(301)}},
       CheckState::kCritical,
       "server link down for 5 min"},
      {"link down since an unknown time",
       {{"server.link", "down"}, {"server.since", ""}},
       CheckState::kCritical,
       "down for 2 h"},
      {"denied",
       {{"server.link", "denied"}, {"server.since", Ago(1)}},
       CheckState::kCritical,
       "denied"},
      {"no server link configured",
       {{"server.enabled", "0"}, {"server.link", "down"}, {"server.since", Ago(7000)}},
       CheckState::kOk},
      {"spool file waiting", {{"spool.files", "1"}, {"spool.oldest", Ago(600)}}, CheckState::kOk},
      {"spool file old",
       {{"spool.files", "1"}, {"spool.oldest", Ago(601)}},
       CheckState::kWarning,
       "oldest spool file waiting for 10 min"},
      {"spool file very old",
       {{"spool.files", "1"}, {"spool.oldest", Ago(3601)}},
       CheckState::kCritical,
       "waiting for 1 h"},
      {"station not alive",
       {{"station.alive", "0"}},
       CheckState::kWarning,
       "station silent, last packet 20 s ago"},
      {"station silent",
       {{"station.last_packet", Ago(601)}},
       CheckState::kWarning,
       "last packet 10 min ago"},
      {"station silent long",
       {{"station.last_packet", Ago(3601)}},
       CheckState::kCritical,
       "last packet 1 h ago"},
      {"no packet yet, young driver",
       {{"station.last_packet", ""}, {"started", Ago(100)}},
       CheckState::kOk},
      {"no packet since a long start",
       {{"station.last_packet", ""}},
       CheckState::kCritical,
       "no packet since the start 2 h ago"},
      // A stopped port is left to the operator: never more than a warning.
      {"port stopped",
       {{"station.open", "0"}, {"station.last_packet", Ago(7000)}},
       CheckState::kWarning,
       "station port COM5 not open"},
      {"no port chosen",
       {{"station.open", "0"}, {"station.port", "COM255"}},
       CheckState::kWarning,
       "no station port chosen"},
      {"critical outranks warning",
       {{"spool.rescue_files", "1"}, {"spool.lost", "1"}},
       CheckState::kCritical,
       "1 records lost"},
  };
  const ProcessProbe live = [](long pid) { return pid == kLivePid; };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    const StatusCheck check = EvaluateStatus(Reading(c), c.limits, kNow, live);
    EXPECT_EQ(CheckStateName(check.state), CheckStateName(c.expected));
    if (c.expected == CheckState::kOk) {
      EXPECT_TRUE(check.findings.empty()) << check.findings[0].text;
    } else {
      ASSERT_FALSE(check.findings.empty());
      EXPECT_NE(check.findings[0].text.find(c.finding), std::string::npos)
          << check.findings[0].text;
    }
  }
}

TEST(StatusCheck, ReadsTheFileOfEachDirectory) {
  TempDir present, empty;
  present.Write(kStatusFileName, "pid=1\nupdated=2026-12-10T18:00:00+01:00\nspool.lost=3\n");
  const StatusReading found = ReadStatusDirectory(present.path().string());
  ASSERT_TRUE(found.readable) << found.error;
  EXPECT_EQ(found.status.pid, 1);
  EXPECT_EQ(found.status.spool_lost, 3);
  EXPECT_TRUE(found.mtime.has_value());

  const StatusReading missing = ReadStatusDirectory(empty.path().string());
  EXPECT_FALSE(missing.readable);
  EXPECT_EQ(missing.error, "open " + empty.File(kStatusFileName) + ": No such file or directory");
  const StatusCheck check = EvaluateStatus(missing, {}, kNow, {});
  EXPECT_EQ(check.state, CheckState::kUnknown);

  present.Write(kStatusFileName, std::string(70000, 'x'));
  EXPECT_FALSE(ReadStatusDirectory(present.path().string()).readable);
}

TEST(StatusCheck, ReportOfSeveralDriversShowsTheGravestStateFirst) {
  const ProcessProbe live = [](long) { return true; };
  StatusCheck ok = EvaluateStatus(Reading({"ok", {}, CheckState::kOk}), {}, kNow, live);
  ok.dir = "/srv/a";
  StatusCheck lost = EvaluateStatus(Reading({"lost", {{"spool.lost", "1"}}, CheckState::kCritical}),
                                    {}, kNow, live);
  lost.dir = "/srv/b";
  StatusReading none;
  none.dir = "/srv/c";
  none.error = "open /srv/c/drvvzt.status: No such file or directory";
  const StatusCheck unknown = EvaluateStatus(none, {}, kNow, live);

  EXPECT_EQ(OverallState({ok, unknown}), CheckState::kUnknown);
  EXPECT_EQ(OverallState({unknown, lost, ok}), CheckState::kCritical);
  const std::string report = CheckReport({ok, lost, unknown});
  EXPECT_EQ(report.substr(0, report.find('\n')),
            "DRVVZT CRITICAL - 3 drivers: 1 critical, 1 unknown, 1 ok");
  EXPECT_NE(report.find("\n/srv/b: CRITICAL - 1 records lost since start\n"), std::string::npos)
      << report;
  EXPECT_NE(report.find("\n/srv/c: UNKNOWN - no status file: open /srv/c/drvvzt.status"),
            std::string::npos);

  // One driver: its problems and performance data on the first line.
  const std::string single = CheckReport({lost});
  EXPECT_EQ(
      single.rfind("DRVVZT CRITICAL - /srv/b: 1 records lost since start | status_age=5s;;30 ", 0),
      0u)
      << single;
  EXPECT_NE(single.find("lost_records=1"), std::string::npos);
  EXPECT_NE(single.find("\n  spool    0 files waiting, 0 in rescue, 0 in memory, 1 lost\n"),
            std::string::npos)
      << single;
}

TEST(StatusCheck, DurationsReadEasily) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0 s"},          {119, "119 s"},      {120, "2 min"},          {3599, "59 min"},
      {3600, "1 h"},       {3660, "1 h 1 min"}, {172799, "47 h 59 min"}, {172800, "2 d"},
      {180000, "2 d 2 h"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(DurationText(seconds), text);
}

}  // namespace
}  // namespace drvvzt::tools
