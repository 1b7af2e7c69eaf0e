// What the station side needs of the server link: whether the link is up, and a
// way to hand it one message. The server link thread implements it; the station
// code does not depend on the server folder.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace drvvzt {

class ServerLinkPort {
public:
  virtual ~ServerLinkPort() = default;
  // True while the connection to the message server is established and usable.
  // Safe to call from any thread.
  virtual bool IsLinkUp() const = 0;
  // Frames the message with the next sequence number and appends it to the
  // outbound queue. False when the queue refused it (full); the sequence number
  // is used up either way. Safe to call from any thread.
  virtual bool PutMessage(std::uint32_t msg_type, std::span<const std::uint8_t> body) = 0;
  // Queues a live station event. file_path names the spool file that already
  // holds it ("" when none could be written): the link deletes that file once
  // the server has answered the event, and hands it back to spool forwarding
  // otherwise; an event without a file is spooled by the link when it gets no
  // answer. False when the queue refused it. Safe to call from any thread.
  virtual bool PutStationEvent(std::span<const std::uint8_t> record, const std::string& file_path) = 0;
};

}  // namespace drvvzt
