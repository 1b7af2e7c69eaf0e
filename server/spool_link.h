// How spool forwarding and the server link thread talk to each other without
// depending on each other's classes.
//
// SpoolLink is what the forwarder needs of the link; the link thread object
// implements it and its calls are safe from any thread.
// LinkObserver is what the link thread reports; the forwarder implements it and
// its calls arrive on the link thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace drvvzt {

class SpoolLink {
public:
  virtual ~SpoolLink() = default;
  virtual bool IsLinkUp() const = 0;
  // Queues the message of the spool file at path. The link keeps the file in
  // flight (see InFlightFiles) until the server's answer settles its fate,
  // which it reports through LinkObserver::OnSpoolFileSettled. False when the
  // queue was full.
  virtual bool QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                              const std::string& path) = 0;
};

// What became of a forwarded spool file's message.
enum class SpoolFate {
  kAcknowledged,  // mtSpoolAck answered it on a connection whose pairing is certain: file deleted
  kRefused,       // another valid reply answered it: the server has not taken it over
  kUnanswered,    // no answer, or no certain one; or the link stopped before sending it
};

class LinkObserver {
public:
  virtual ~LinkObserver() = default;
  // A connection was made (its handshake is already queued).
  virtual void OnConnected() = 0;
  // The fate of a spool file's message queued through QueueSpoolFile.
  virtual void OnSpoolFileSettled(const std::string& path, SpoolFate fate) = 0;
};

}  // namespace drvvzt
