// Texts of transport failures; see transport.h.
#include "platform/transport.h"

namespace drvvzt {

const char* TcpFailureText(TcpFailure failure) {
  switch (failure) {
    case TcpFailure::kNone: return "ok";
    case TcpFailure::kResolve: return "host not found";
    case TcpFailure::kConnect: return "connect failed";
    case TcpFailure::kNotOpen: return "not connected";
    case TcpFailure::kTimeout: return "timed out";
    case TcpFailure::kClosed: return "closed by peer";
    case TcpFailure::kSocket: return "socket error";
    case TcpFailure::kStopped: return "stopped";
  }
  return "unknown";
}

std::string TcpResult::Text() const {
  if (ok()) return {};
  if (!error.ok()) return error.Text();
  std::string text = error.call;
  if (!error.path.empty()) text += (text.empty() ? "" : " ") + error.path;
  if (!text.empty()) text += ": ";
  return text + TcpFailureText(failure);
}

}  // namespace drvvzt
