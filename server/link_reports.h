// What the server link reports to the rest of the driver, through one
// interface: the lines for the window's log, the server indicator's steps with
// the link's state, the messages it wrote, the fate of forwarded spool files,
// and the live events that must go to disk because the server may not have
// them. The driver's window (or whatever holds its state) implements it; tests
// implement it to watch the link.
//
// Thread use:
//  - LogLine() and StepServerTick() touch the window: the link hands them to
//    the window's thread through UiHandOff (server/ui_hand_off.h) and waits
//    until they ran; without a post function they run on the link thread.
//  - Everything else is called on the link thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "station/spool_writer.h"

namespace drvvzt {

// The link as the window shows it.
enum class LinkState {
  kDown,    // not connected (connecting, or waiting to)
  kUp,      // connected and usable
  kDenied,  // the server refused the driver for good
};

// What became of a forwarded spool file's message.
enum class SpoolFate {
  kAcknowledged,  // mtSpoolAck answered it on a connection whose pairing is certain: file deleted
  kRefused,       // another valid reply answered it: the server has not taken it over
  kUnanswered,    // no answer, or no certain one; or the link stopped before sending it
};

class LinkReports {
public:
  virtual ~LinkReports() = default;

  // Window's thread: appends one complete line to the log memo. The link has
  // already put the local date and time in front of the text.
  virtual void LogLine(const std::string& line) = 0;
  // Window's thread: advances ServerTick (0..16, wrapping to 0 past 16) and
  // redraws the server indicator for `state`, the link's state when the step
  // was taken.
  virtual void StepServerTick(LinkState state) = 0;

  // A connection was made; its handshake is already queued.
  virtual void Connected() = 0;
  // A frame went out whole: the message of `sequence` (0 for a poll).
  virtual void MessageWritten(std::uint32_t msg_type, std::uint64_t sequence) = 0;
  // The fate of a spool file's message queued through QueueSpoolFile.
  virtual void SpoolFileSettled(const std::string& path, SpoolFate fate) = 0;
  // A live event record that the server may not have and that has no file of
  // its own: it must go to disk now. False when it could not.
  virtual bool SpoolRecord(std::span<const std::uint8_t> record) = 0;
};

// SpoolRecord for the driver's spool writer: only a station event record is
// taken, anything else is refused.
bool SpoolRecordTo(SpoolWriter& writer, std::span<const std::uint8_t> record);

}  // namespace drvvzt
