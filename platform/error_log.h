// The error log "error.txt": one line per error, "ошибка №" and the decimal code,
// in code page 1251 with CR LF, no date or time. Codes in use:
//   9  station watchdog or station indicator failed
//   11 a spool file name could not be formed from the time
//   19 the port name could not be written to the configuration or queued
//   20 the raw packet log "drvvzt.log" could not be written
//   21 a record could not be written to a spool file (kept in memory), or the
//      in-memory backlog overflowed (record lost)
//
// WriteErrorLog is thread-safe: lines from two threads never interleave.
#pragma once

#include <string>

namespace drvvzt {

inline constexpr int kErrorWatchdog = 9;
inline constexpr int kErrorSpoolName = 11;
inline constexpr int kErrorPortWrite = 19;
inline constexpr int kErrorRawLog = 20;
inline constexpr int kErrorSpoolWrite = 21;

// The bytes of one line for code, in code page 1251.
std::string ErrorLogLine(int code);

// Appends the line for code to dir + "/error.txt" ("error.txt" in the current
// directory when dir is empty). False when the file could not be written.
bool WriteErrorLog(const std::string& dir, int code);

}  // namespace drvvzt
