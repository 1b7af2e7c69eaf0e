// What spool forwarding needs of the server link, without depending on its
// class: whether the link is up, and a way to queue a spool file's message.
// The link thread object implements it; its calls are safe from any thread.
// The answer comes back through LinkReports::SpoolFileSettled.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "server/link_reports.h"

namespace drvvzt {

class SpoolLink {
public:
  virtual ~SpoolLink() = default;
  virtual bool IsLinkUp() const = 0;
  // Queues the message of the spool file at path. The link keeps the file in
  // flight (see InFlightFiles) until the server's answer settles its fate,
  // which it reports through LinkReports::SpoolFileSettled. False when the
  // queue was full.
  virtual bool QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                              const std::string& path) = 0;
};

}  // namespace drvvzt
