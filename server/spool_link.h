// How spool forwarding and the server link thread talk to each other without
// depending on each other's classes.
//
// SpoolLink is what the forwarder needs of the link; the link thread object
// implements it and its calls are safe from any thread.
// LinkObserver is what the link thread reports; the forwarder implements it and
// its calls arrive on the link thread.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace drvvzt {

class SpoolLink {
public:
  virtual ~SpoolLink() = default;
  virtual bool IsLinkUp() const = 0;
  // Queues a message forwarded from a spool file. The sequence number it
  // carries when the queue took it; nothing when the queue was full.
  virtual std::optional<std::uint64_t> QueueSpooledMessage(std::uint32_t msg_type,
                                                           std::span<const std::uint8_t> body) = 0;
};

class LinkObserver {
public:
  virtual ~LinkObserver() = default;
  // A connection was made (its handshake is already queued).
  virtual void OnConnected() = 0;
  // The frame of the queued message with this sequence number went out whole
  // on the current connection.
  virtual void OnMessageWritten(std::uint64_t sequence) = 0;
  // The server answered with mtSpoolAck.
  virtual void OnSpoolAck() = 0;
};

}  // namespace drvvzt
