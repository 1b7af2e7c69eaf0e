// Diagnostic lines on standard error; see diagnostics.h.
#include "platform/diagnostics.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace drvvzt {
namespace {

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

DiagnosticSink& Sink() {
  static DiagnosticSink sink;
  return sink;
}

bool UnderJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  return stream != nullptr && *stream != '\0';
}

}  // namespace

std::string IsoLocalTime(std::time_t t) {
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return {};
  char text[40];
  if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return {};
  std::string out = text;
  // strftime gives "+0100"; ISO 8601 in its extended form wants "+01:00".
  if (out.size() >= 5) out.insert(out.size() - 2, ":");
  return out;
}

std::string FormatDiagnosticLine(Severity severity, std::string_view text, bool journal,
                                 std::time_t now) {
  std::string line;
  if (journal) {
    line = "<" + std::to_string(static_cast<int>(severity)) + ">";
  } else {
    line = IsoLocalTime(now) + " ";
  }
  // One event, one line: embedded line ends would split it in the journal.
  for (char c : text) line += (c == '\n' || c == '\r') ? ' ' : c;
  return line;
}

void Report(Severity severity, std::string_view text) {
  std::lock_guard lock(SinkMutex());
  if (Sink()) {
    Sink()(severity, std::string(text));
    return;
  }
  const std::string line =
      FormatDiagnosticLine(severity, text, UnderJournal(), std::time(nullptr)) + "\n";
  // One write per line keeps lines whole even when another process shares the stream.
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

void SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard lock(SinkMutex());
  Sink() = std::move(sink);
}

}  // namespace drvvzt
