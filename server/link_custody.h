// Custody of the live events and spool files the server link carries: every
// queued station event and forwarded spool file is tracked by its sequence
// number until the reply read in the step that wrote it settles its fate.
//
// The server answers every message with exactly one frame, in order, so that
// reply is the message's answer only while the pairing on this connection is
// certain: no read on it has failed, and no frame was already waiting before a
// message was written. Then
//  - a live event's write-ahead file is deleted on any valid reply;
//  - a forwarded spool file is deleted only on mtSpoolAck;
// and in every other case the file stays and spool forwarding sends it later.
// A live event that has no file (the disk refused it) is handed to
// LinkReports::SpoolRecord when it gets no certain answer. Once the pairing is
// in doubt nothing is deleted on that connection; a new connection starts with
// certain pairing again. Messages dropped unsent (the link stops, or the server
// refuses the driver for good) are settled as unanswered.
//
// A tracked file is in flight (InFlightFiles) from Track() until it is settled,
// so spool forwarding leaves it alone meanwhile.
//
// Thread-safety: Track() from any thread (producers, inside the queue's
// numbering); everything else on the link thread only. Settling happens
// outside the lock, so a report may queue the next message at once.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "server/link_reports.h"
#include "server/wire_format.h"
#include "station/in_flight_files.h"

namespace drvvzt {

class LinkCustody {
public:
  enum class Kind {
    kLiveRecord,  // a live event without a file: spooled when unanswered
    kLiveFile,    // a live event with its write-ahead file: deleted when answered
    kSpoolFile,   // a forwarded spool file: deleted on mtSpoolAck
  };
  struct Item {
    Kind kind = Kind::kLiveRecord;
    Bytes record;      // kLiveRecord
    std::string path;  // kLiveFile, kSpoolFile
  };
  static Item LiveRecord(std::span<const std::uint8_t> record);
  static Item LiveFile(std::string path);
  static Item SpoolFile(std::string path);

  LinkCustody(InFlightFiles& in_flight, LinkReports& reports);

  // Takes custody of the message numbered `sequence`.
  void Track(std::uint64_t sequence, Item item);
  // The message was written: its custody waits for this step's reply.
  void Written(std::uint64_t sequence);
  // The step's reply read ended, with a valid reply of this type or none.
  void ReplyRead(std::optional<std::uint32_t> valid_reply_type);
  // The message left the queue unsent.
  void Dropped(std::uint64_t sequence);
  // The frames on this connection may answer other messages than they seem to.
  void LosePairing() { pairing_certain_ = false; }
  bool PairingCertain() const { return pairing_certain_; }
  // A connection begins: what the last one left unsettled is unanswered.
  void NewConnection();
  // Messages in custody, queued or written.
  std::size_t Count() const;

private:
  std::optional<Item> Take(std::uint64_t sequence);
  void Settle(Item item, bool answered, std::optional<std::uint32_t> reply_type);

  InFlightFiles& in_flight_;
  LinkReports& reports_;
  mutable std::mutex mutex_;
  std::map<std::uint64_t, Item> queued_;
  // Link thread only.
  std::optional<Item> written_;
  bool pairing_certain_ = true;
};

}  // namespace drvvzt
