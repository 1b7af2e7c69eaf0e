// Custody of live events and spool files on the link; see link_custody.h.
#include "server/link_custody.h"

#include <utility>

#include "platform/durable_file.h"

namespace drvvzt {

LinkCustody::Item LinkCustody::LiveRecord(std::span<const std::uint8_t> record) {
  return Item{Kind::kLiveRecord, Bytes(record.begin(), record.end()), {}};
}

LinkCustody::Item LinkCustody::LiveFile(std::string path) {
  return Item{Kind::kLiveFile, {}, std::move(path)};
}

LinkCustody::Item LinkCustody::SpoolFile(std::string path) {
  return Item{Kind::kSpoolFile, {}, std::move(path)};
}

LinkCustody::LinkCustody(InFlightFiles& in_flight, LinkReports& reports)
    : in_flight_(in_flight), reports_(reports) {}

void LinkCustody::Track(std::uint64_t sequence, Item item) {
  if (!item.path.empty()) in_flight_.Add(item.path);
  std::lock_guard lock(mutex_);
  queued_.insert_or_assign(sequence, std::move(item));
}

std::optional<LinkCustody::Item> LinkCustody::Take(std::uint64_t sequence) {
  std::lock_guard lock(mutex_);
  const auto found = queued_.find(sequence);
  if (found == queued_.end()) return std::nullopt;
  Item item = std::move(found->second);
  queued_.erase(found);
  return item;
}

void LinkCustody::Written(std::uint64_t sequence) {
  // One message per step: a written one whose reply read never ran is unanswered.
  if (written_) ReplyRead(std::nullopt);
  written_ = Take(sequence);
}

void LinkCustody::ReplyRead(std::optional<std::uint32_t> valid_reply_type) {
  if (!written_) return;
  Item item = std::move(*written_);
  written_.reset();
  Settle(std::move(item), valid_reply_type.has_value() && pairing_certain_, valid_reply_type);
}

void LinkCustody::Dropped(std::uint64_t sequence) {
  if (std::optional<Item> item = Take(sequence)) Settle(std::move(*item), false, std::nullopt);
}

void LinkCustody::NewConnection() {
  ReplyRead(std::nullopt);
  pairing_certain_ = true;
}

std::size_t LinkCustody::Count() const {
  std::lock_guard lock(mutex_);
  return queued_.size() + (written_ ? 1 : 0);
}

void LinkCustody::Settle(Item item, bool answered, std::optional<std::uint32_t> reply_type) {
  switch (item.kind) {
    case Kind::kLiveRecord:
      if (!answered) reports_.SpoolRecord(item.record);
      return;
    case Kind::kLiveFile:
      if (answered) RemoveFile(item.path);
      in_flight_.Remove(item.path);
      return;
    case Kind::kSpoolFile: {
      SpoolFate fate = SpoolFate::kUnanswered;
      if (answered) fate = reply_type == mtSpoolAck ? SpoolFate::kAcknowledged : SpoolFate::kRefused;
      if (fate == SpoolFate::kAcknowledged) RemoveFile(item.path);
      in_flight_.Remove(item.path);
      reports_.SpoolFileSettled(item.path, fate);
      return;
    }
  }
}

}  // namespace drvvzt
