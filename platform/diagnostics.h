// Lines for the system's log: what the driver tells an administrator on
// standard error, in English, one line per event.
//
// Under systemd (JOURNAL_STREAM set) a line starts with its syslog priority in
// angle brackets ("<3>" error, "<4>" warning, "<6>" info), which the journal
// turns into the entry's priority; elsewhere it starts with an ISO 8601 local
// time stamp with its offset.
//
// Thread-safe: lines from several threads never interleave.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace drvvzt {

enum class Severity { kError = 3, kWarning = 4, kInfo = 6 };

// One line as it is written, without the line end.
std::string FormatDiagnosticLine(Severity severity, std::string_view text, bool journal,
                                 std::time_t now);

// ISO 8601 local time with numeric offset, e.g. "2026-12-10T17:43:38+01:00".
std::string IsoLocalTime(std::time_t t);

// Writes one line to standard error (or to the sink set for tests).
void Report(Severity severity, std::string_view text);

// Replaces where lines go; an empty function restores standard error. Tests
// use it to read what the driver reported.
using DiagnosticSink = std::function<void(Severity severity, const std::string& text)>;
void SetDiagnosticSink(DiagnosticSink sink);

}  // namespace drvvzt
