// The server link thread: connection, handshake, sending, polling, reply
// handling and reconnection; see server_link.h.
#include "server/server_link.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/datetime.h"
#include "platform/diagnostics.h"
#include "platform/ini_file.h"
#include "platform/ini_values.h"
#include "platform/tcp_client.h"
#include "server/frame_reader.h"
#include "server/version.h"

namespace drvvzt {
namespace {

// The frame reader's view of the transport: each request gets the reader's
// per-wait limit as a deadline on the link's tick. The last failure is kept,
// with its cause, for whoever reports it.
class TransportStream final : public ByteStream {
public:
  TransportStream(Transport& transport, TickClock& tick) : transport_(transport), tick_(tick) {}
  void SetReadTimeout(int milliseconds) override { timeout_ms_ = milliseconds; }
  ReadResult ReadExact(std::span<std::uint8_t> buf) override {
    const std::uint32_t deadline = tick_.NowTick() + static_cast<std::uint32_t>(timeout_ms_);
    const TcpResult result = transport_.Read(buf, deadline);
    if (!result.ok()) failure_ = result;
    ReadResult out;
    out.received = result.transferred;
    switch (result.failure) {
      case TcpFailure::kNone: out.status = ReadStatus::kOk; break;
      case TcpFailure::kTimeout: out.status = ReadStatus::kTimeout; break;
      case TcpFailure::kClosed: out.status = ReadStatus::kClosed; break;
      default: out.status = ReadStatus::kError; break;
    }
    return out;
  }
  const std::optional<TcpResult>& failure() const { return failure_; }

private:
  Transport& transport_;
  TickClock& tick_;
  int timeout_ms_ = kReplyReadTimeoutMs;
  std::optional<TcpResult> failure_;
};

bool Elapsed(std::uint32_t now, std::uint32_t since, std::uint32_t limit) {
  return static_cast<std::uint32_t>(now - since) > limit;
}

// Milliseconds from now until Elapsed(now, since, limit) holds.
std::uint32_t MsUntilElapsed(std::uint32_t now, std::uint32_t since, std::uint32_t limit) {
  const std::uint32_t elapsed = now - since;
  return elapsed > limit ? 0 : limit + 1 - elapsed;
}

std::string WithTrailingSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

std::unique_ptr<Transport> MakeServerTransport(TickClock& tick) {
  auto client = std::make_unique<TcpClient>(tick);
  client->SetConnectTimeout(kConnectTimeoutMs);
  client->SetWriteTimeout(kWriteTimeoutMs);
  return client;
}

cl::cl(LinkHost& host, LinkReports& reports, std::unique_ptr<Transport> transport, TickClock& tick,
       DateTimeClock& clock, ServerLinkOptions options)
    : host_(host), reports_(reports), transport_(std::move(transport)), tick_(tick), clock_(clock),
      options_(std::move(options)), hand_off_(options_.post),
      custody_(options_.in_flight != nullptr ? *options_.in_flight : own_in_flight_, reports) {}

cl::~cl() { Stop(); }

void cl::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { ThreadBody(); });
}

void cl::Stop() {
  stop_.store(true);
  transport_->Interrupt();
  WakeThread();
  hand_off_.RequestStop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void cl::ThreadBody() {
  pthread_setname_np(pthread_self(), kLinkThreadName);
  PrepareRun();
  while (!stop_.load()) {
    LinkStep();
    WaitForNextStep();
  }
  FinishRun();
}

std::optional<std::uint32_t> cl::IdleMs() {
  const std::uint32_t now = tick_.NowTick();
  if (LinkUp.load()) {
    if (Queue.Count() > 0 || ReplyPending || PollDue || ErrorCount > kErrorLimit) return 0;
    if (Accepted) return MsUntilElapsed(now, LastPollTick, kPollSpacingMs);
    return std::nullopt;
  }
  // While the link is down, queued messages wait for the connection.
  if (MayReconnect) return MsUntilElapsed(now, LastConnectTick, kReconnectSpacingMs);
  if (!DeniedLogged) return 0;
  return std::nullopt;
}

// Steps with something to send or read follow each other after a short pause,
// as they always have. Otherwise the thread sleeps until the next step is due,
// and a queued message or a stop wakes it at once: an idle link costs no
// wake-ups between its polls.
void cl::WaitForNextStep() {
  const std::optional<std::uint32_t> idle = IdleMs();
  const std::uint32_t pause = idle ? std::max<std::uint32_t>(*idle, kBusyStepMs) : 0;
  std::unique_lock lock(wake_mutex_);
  const auto woken = [this] { return wake_ || stop_.load(); };
  if (!idle) {
    wake_cv_.wait(lock, woken);
  } else if (*idle == 0) {
    // The pause between busy steps is not cut short by more messages.
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyStepMs));
    lock.lock();
  } else {
    wake_cv_.wait_for(lock, std::chrono::milliseconds(pause), woken);
  }
  wake_ = false;
}

void cl::WakeThread() {
  {
    std::lock_guard lock(wake_mutex_);
    wake_ = true;
  }
  wake_cv_.notify_one();
}

void cl::PrepareRun() {
  DeniedLogged = false;
  LastPollTick = tick_.NowTick();
  ErrorCount = 0;
  LastConnectTick = 0;
  std::string dir = options_.work_dir;
  if (dir.empty()) {
    std::error_code ignored;
    dir = std::filesystem::current_path(ignored).string();
  }
  WorkDir = WithTrailingSlash(dir);
  Accepted = false;
  MayReconnect = true;
  LinkUp.store(false);
}

void cl::FinishRun() {
  CloseConnection();
  LinkUp.store(false);
  custody_.ReplyRead(std::nullopt);
  ReleaseQueue();
}

void cl::ReleaseQueue() {
  while (const std::optional<QueuedMessage> front = Queue.Front()) {
    Queue.QueueDrop();
    custody_.Dropped(front->sequence);
  }
}

// --- Producers -----------------------------------------------------------------

bool cl::Put(std::uint32_t msg_type, std::span<const std::uint8_t> body,
             std::optional<LinkCustody::Item> item) {
  MessageQueue::AcceptedFn track;
  if (item) track = [this, &item](std::uint64_t sequence) { custody_.Track(sequence, std::move(*item)); };
  if (!Queue.PutMessage(msg_type, body, track)) return false;
  WakeThread();
  return true;
}

bool cl::PutMessage(std::uint32_t msg_type, std::span<const std::uint8_t> body) {
  // After stop the queue is never sent again; the caller spools instead.
  if (stop_.load()) return false;
  if (msg_type != mtStationEvent) return Put(msg_type, body, std::nullopt);
  return Put(msg_type, body, LinkCustody::LiveRecord(body));
}

bool cl::PutStationEvent(std::span<const std::uint8_t> record, const std::string& file_path) {
  if (stop_.load()) return false;
  if (file_path.empty()) return PutMessage(mtStationEvent, record);
  return Put(mtStationEvent, record, LinkCustody::LiveFile(file_path));
}

bool cl::QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                        const std::string& path) {
  if (stop_.load()) return false;
  return Put(msg_type, body, LinkCustody::SpoolFile(path));
}

// --- The step ------------------------------------------------------------------

void cl::LinkStep() {
  if (LinkUp.load()) {
    StepUp();
  } else {
    StepDown();
  }
}

void cl::StepUp() {
  if (ErrorCount > kErrorLimit) {
    ErrorCount = 0;
    Report(Severity::kWarning, "server link: more than " + std::to_string(kErrorLimit) +
                                   " network errors, reconnecting (last: " + last_failure_ + ")");
    LogLine(kLogNetworkErrors);
    LinkUp.store(false);
  }
  if (DropOnStrayInput()) return;
  bool sent_queued = false;
  try {
    sent_queued = SendQueued();
  } catch (...) {
    // A failure while sending must not end the thread; the message stays queued.
  }
  if (!(PollDue || ReplyPending || sent_queued)) return;
  try {
    if (PollDue) {
      PollDue = false;
      SendFrame(PollMessage(), mtPoll, 0);
    }
    ReplyPending = false;
    ReadReply();
  } catch (...) {
    ++ErrorCount;
    custody_.LosePairing();
    custody_.ReplyRead(std::nullopt);
  }
}

bool cl::DropOnStrayInput() {
  if (!transport_->HasPendingInput()) return false;
  TransportStream stream(*transport_, tick_);
  ReceiveFrame(stream, tick_);
  custody_.LosePairing();
  DropConnection();
  return true;
}

// Sends the oldest queued message, or marks a poll as due; true when a queued
// message was tried (written or not), which calls for a reply read.
bool cl::SendQueued() {
  const std::optional<QueuedMessage> front = Queue.Front();
  if (!front) {
    const std::uint32_t now = tick_.NowTick();
    if (Accepted && Elapsed(now, LastPollTick, kPollSpacingMs)) {
      PollDue = true;
      LastPollTick = now;
    }
    return false;
  }
  if (!SendFrame(front->message, front->msg_type, front->sequence)) return true;
  custody_.Written(front->sequence);
  Queue.QueueDrop();
  return true;
}

void cl::ReadReply() {
  RecvBuf.clear();
  bool unexpected = false;
  TransportStream stream(*transport_, tick_);
  RecvBuf = ReceiveFrame(stream, tick_, &unexpected);
  if (RecvBuf.empty()) {
    if (stream.failure()) {
      NoteFailure(*stream.failure());
    } else {
      last_failure_ = "a broken frame from " + ServerAddress();
    }
    // A broken frame counts once for the error and once for the missing reply.
    ErrorCount += unexpected ? 2 : 1;
    custody_.LosePairing();
    custody_.ReplyRead(std::nullopt);
    return;
  }
  HandleReply();
}

void cl::HandleReply() {
  if (!IsValidMessage(RecvBuf)) {
    // Not counted as an error, but it is no answer to the message either. One
    // frame came for one message, so the pairing still holds.
    custody_.ReplyRead(std::nullopt);
    return;
  }
  const std::optional<TMessageHeader> header = DecodeMessageHeader(RecvBuf);
  custody_.ReplyRead(header->MsgType);
  ErrorCount = 0;
  StepServerTick();
  ReplyBody.clear();
  try {
    ReplyBody = ReceivedBody(RecvBuf);
  } catch (...) {
    ++ErrorCount;
  }
  switch (header->MsgType) {
    case mtAccepted:
      Accepted = true;
      registered_.store(true);
      break;
    case mtPing:
      Put(mtPingReply, {}, std::nullopt);
      break;
    case mtDenied:
      LinkUp.store(false);
      MayReconnect = false;
      denied_.store(true);
      DropConnection();
      ReleaseQueue();
      return;
    case mtClose:
      LinkUp.store(false);
      DropConnection();
      return;
    case mtDisconnect:
      ErrorCount = 0;
      LastConnectTick = tick_.NowTick();
      LinkUp.store(false);
      StepServerTick();
      LogLine(kLogServerDisconnect);
      return;
    default:
      break;
  }
  // The server is alive but its frames may answer other messages than we
  // think: a new connection restores the pairing.
  if (!custody_.PairingCertain() && LinkUp.load()) DropConnection();
}

void cl::StepDown() {
  if (MayReconnect) {
    if (Elapsed(tick_.NowTick(), LastConnectTick, kReconnectSpacingMs)) ConnectAttempt();
  } else if (!DeniedLogged) {
    DeniedLogged = true;
    LogLine(kLogDenied);
  }
}

void cl::ConnectAttempt() {
  StepServerTick();
  LogLine(kLogConnecting);
  LastConnectTick = tick_.NowTick();
  custody_.NewConnection();
  Accepted = false;
  registered_.store(false);
  failure_reported_ = false;

  std::string address;
  std::int32_t port = kDefaultServerPort;
  if (options_.ini) {
    // Both values from one reading of the file.
    const auto content = options_.ini->Current();
    address = content->ReadString("ServerHost", "Address", kDefaultServerAddress);
    port = ParseIniInteger(content->ReadString("ServerHost", "Port", ""), kDefaultServerPort);
  } else {
    const std::string ini = WorkDir + "drvvzt.ini";
    address = ReadIniString(ini, "ServerHost", "Address", kDefaultServerAddress);
    port = ReadIniInteger(ini, "ServerHost", "Port", kDefaultServerPort);
  }
  const std::string peer = address + ":" + std::to_string(port);
  {
    std::lock_guard lock(address_mutex_);
    address_ = peer;
  }
  TcpResult result;
  if (port <= 0 || port > 0xFFFF) {
    result = TcpResult{TcpFailure::kConnect, SysError::Of(EINVAL, "connect", peer), 0};
  } else {
    result = transport_->Connect(address, static_cast<std::uint16_t>(port));
  }
  if (!result.ok()) {
    if (result.Text() != reported_connect_failure_ && result.failure != TcpFailure::kStopped) {
      reported_connect_failure_ = result.Text();
      Report(Severity::kWarning, "server link: cannot connect: " + reported_connect_failure_);
    }
    return;
  }
  reported_connect_failure_.clear();
  HandleConnected();
  LinkUp.store(true);
  reports_.Connected();
  LogLine(kLogConnected);
  StepServerTick();
}

void cl::HandleConnected() {
  Put(mtRegister, RegisterBody(), std::nullopt);
  ReplyPending = true;
  Put(mtPortState, PortStateBody(host_.ComPort(), host_.PortOpen()), std::nullopt);
  Put(mtFirstNumber, FirstNumberBody(host_.FirstNumber()), std::nullopt);
  Put(mtVersion, VersionBody(SplitVersion(VersionText())), std::nullopt);
}

void cl::HandleDisconnected() {
  LinkUp.store(false);
  StepServerTick();
}

// Closing a connection that was still open counts as a disconnection; one the
// peer already ended goes quietly.
void cl::CloseConnection() {
  const bool was_open = transport_->IsOpen();
  transport_->Close();
  if (was_open) HandleDisconnected();
}

void cl::DropConnection() {
  try {
    LinkUp.store(false);
    StepServerTick();
    CloseConnection();
  } catch (...) {
  }
}

bool cl::SendFrame(std::span<const std::uint8_t> message, std::uint32_t msg_type,
                   std::uint64_t sequence) {
  const TcpResult result = transport_->Write(EncodeFrame(message));
  if (result.ok()) {
    reports_.MessageWritten(msg_type, sequence);
    return true;
  }
  NoteFailure(result);
  CloseConnection();
  ++ErrorCount;
  return false;
}

void cl::NoteFailure(const TcpResult& result) {
  last_failure_ = result.Text();
  if (failure_reported_ || result.failure == TcpFailure::kStopped) return;
  failure_reported_ = true;
  Report(Severity::kWarning, "server link: " + last_failure_);
}

std::string cl::ServerAddress() const {
  std::lock_guard lock(address_mutex_);
  return address_;
}

// --- Window hand-offs ------------------------------------------------------------

LinkState cl::State() const {
  if (denied_.load()) return LinkState::kDenied;
  return LinkUp.load() ? LinkState::kUp : LinkState::kDown;
}

void cl::LogLine(const std::string& text) {
  const std::string line = FormatDateTime(clock_.Now()) + " " + text;
  // The call holds nothing of the link object, which may be gone when a window
  // busy elsewhere comes round to it.
  hand_off_.Run([&reports = reports_, line] { reports.LogLine(line); });
}

// Not waited for: a poll answered twice a second must not cost the link thread
// a second wake-up each time for the window's turn.
void cl::StepServerTick() {
  hand_off_.Post([&reports = reports_, state = State()] { reports.StepServerTick(state); });
}

}  // namespace drvvzt
