// The server link thread: connection, handshake, sending, polling, reply
// handling and reconnection; see server_link.h.
#include "server/server_link.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "platform/datetime.h"
#include "platform/durable_file.h"
#include "platform/ini_file.h"
#include "platform/ini_values.h"
#include "server/frame_reader.h"
#include "server/version.h"

namespace drvvzt {
namespace {

// The frame reader's view of the TCP client. The reply read timeout the link
// was configured with replaces the reader's own figure, so that tests of a
// silent server need not wait a second per read.
class ClientStream final : public ByteStream {
public:
  ClientStream(TcpClient& client, int read_timeout_ms)
      : client_(client), read_timeout_ms_(read_timeout_ms) {}
  void SetReadTimeout(int milliseconds) override {
    client_.SetReadTimeout(read_timeout_ms_ > 0 ? read_timeout_ms_ : milliseconds);
  }
  ReadResult ReadExact(std::span<std::uint8_t> buf) override {
    const TcpResult result = client_.Read(buf);
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

private:
  TcpClient& client_;
  int read_timeout_ms_;
};

bool Elapsed(std::uint32_t now, std::uint32_t since, std::uint32_t limit) {
  return static_cast<std::uint32_t>(now - since) > limit;
}

std::string WithTrailingSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

std::function<bool(std::span<const std::uint8_t>)> SpoolThrough(SpoolWriter& writer) {
  return [&writer](std::span<const std::uint8_t> record) {
    if (record.size() != kStationEventSize) return false;
    StationEventBytes bytes{};
    std::copy(record.begin(), record.end(), bytes.begin());
    return writer.Spool(bytes);
  };
}

cl::cl(LinkHost& host, TickClock& tick, DateTimeClock& clock, ServerLinkOptions options)
    : host_(host), tick_(tick), clock_(clock), options_(std::move(options)),
      hand_off_(options_.post),
      in_flight_(options_.in_flight != nullptr ? options_.in_flight : &own_in_flight_) {}

cl::~cl() { Stop(); }

void cl::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { ThreadBody(); });
}

void cl::Stop() {
  stop_.store(true);
  WakeThread();
  hand_off_.RequestStop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void cl::ThreadBody() {
  PrepareRun();
  while (!stop_.load()) {
    LinkStep();
    PauseBetweenSteps();
  }
  FinishRun();
}

// 1 ms between steps while there is something to send or read. An idle link
// (nothing queued, no reply due) waits for a message to be queued instead, but
// no longer than kIdleStepMs: the poll and reconnection deadlines, hundreds of
// milliseconds apart, are still checked often enough, and an idle driver does
// not wake a thousand times a second.
void cl::PauseBetweenSteps() {
  if (Queue.Count() > 0 || ReplyPending || PollDue) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  std::unique_lock lock(wake_mutex_);
  wake_cv_.wait_for(lock, std::chrono::milliseconds(kIdleStepMs),
                    [this] { return wake_ || stop_.load(); });
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
  if (Client) Client->Close();
  Client.reset();
  LinkUp.store(false);
  SettleStep(std::nullopt);
  ReleaseQueue();
}

void cl::ReleaseQueue() {
  while (auto message = Queue.QueuePeek()) {
    const std::uint64_t sequence = GetU64(*message, kMhSequence);
    std::optional<Custody> custody;
    {
      std::lock_guard lock(producer_mutex_);
      if (auto found = custody_.find(sequence); found != custody_.end()) {
        custody = std::move(found->second);
        custody_.erase(found);
      }
    }
    Queue.QueueDrop();
    if (custody) Settle(std::move(*custody), false, std::nullopt);
  }
}

// --- Producers -----------------------------------------------------------------

bool cl::Put(std::uint32_t msg_type, std::span<const std::uint8_t> body,
             std::optional<Custody> custody) {
  {
    std::lock_guard lock(producer_mutex_);
    const std::optional<std::uint64_t> sequence = Queue.PutMessage(msg_type, body);
    if (!sequence) return false;
    if (custody) {
      if (!custody->path.empty()) in_flight_->Add(custody->path);
      custody_.emplace(*sequence, std::move(*custody));
    }
  }
  WakeThread();
  return true;
}

bool cl::PutMessage(std::uint32_t msg_type, std::span<const std::uint8_t> body) {
  // After stop the queue is never sent again; the caller spools instead.
  if (stop_.load()) return false;
  if (msg_type != mtStationEvent) return Put(msg_type, body, std::nullopt);
  return Put(msg_type, body, Custody{Custody::Kind::kLiveRecord, Bytes(body.begin(), body.end()), {}});
}

bool cl::PutStationEvent(std::span<const std::uint8_t> record, const std::string& file_path) {
  if (stop_.load()) return false;
  if (file_path.empty()) return PutMessage(mtStationEvent, record);
  return Put(mtStationEvent, record, Custody{Custody::Kind::kLiveFile, {}, file_path});
}

bool cl::QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                        const std::string& path) {
  if (stop_.load()) return false;
  return Put(msg_type, body, Custody{Custody::Kind::kSpoolFile, {}, path});
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
      SendFrame(PollMessage());
    }
    ReplyPending = false;
    ReadReply();
  } catch (...) {
    ++ErrorCount;
    pairing_certain_ = false;
    SettleStep(std::nullopt);
  }
}

bool cl::DropOnStrayInput() {
  if (!Client || !Client->HasPendingInput()) return false;
  ClientStream stream(*Client, options_.reply_read_timeout_ms);
  ReceiveFrame(stream, SystemTick());
  pairing_certain_ = false;
  DropConnection();
  return true;
}

// Sends the oldest queued message, or marks a poll as due; true when a queued
// message was tried (written or not), which calls for a reply read.
bool cl::SendQueued() {
  std::optional<Bytes> message = Queue.QueuePeek();
  if (!message) {
    const std::uint32_t now = tick_.NowTick();
    if (Accepted && Elapsed(now, LastPollTick, kPollSpacingMs)) {
      PollDue = true;
      LastPollTick = now;
    }
    return false;
  }
  if (!SendFrame(*message)) return true;
  const std::uint64_t sequence = GetU64(*message, kMhSequence);
  {
    std::lock_guard lock(producer_mutex_);
    if (auto found = custody_.find(sequence); found != custody_.end()) {
      step_custody_ = std::move(found->second);
      custody_.erase(found);
    }
  }
  Queue.QueueDrop();
  return true;
}

void cl::ReadReply() {
  RecvBuf.clear();
  bool unexpected = false;
  if (Client) {
    ClientStream stream(*Client, options_.reply_read_timeout_ms);
    // Body stalls are real waits on the socket, so they are timed by the system clock.
    RecvBuf = ReceiveFrame(stream, SystemTick(), &unexpected);
  }
  if (RecvBuf.empty()) {
    // A broken frame counts once for the error and once for the missing reply.
    ErrorCount += unexpected ? 2 : 1;
    pairing_certain_ = false;
    SettleStep(std::nullopt);
    return;
  }
  HandleReply();
}

void cl::HandleReply() {
  if (!IsValidMessage(RecvBuf)) {
    // Not counted as an error, but it is no answer to the message either. One
    // frame came for one message, so the pairing still holds.
    SettleStep(std::nullopt);
    return;
  }
  const std::optional<TMessageHeader> header = DecodeMessageHeader(RecvBuf);
  SettleStep(header->MsgType);
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
  if (!pairing_certain_ && LinkUp.load()) DropConnection();
}

void cl::SettleStep(std::optional<std::uint32_t> valid_reply_type) {
  if (!step_custody_) return;
  Custody custody = std::move(*step_custody_);
  step_custody_.reset();
  Settle(std::move(custody), valid_reply_type.has_value() && pairing_certain_, valid_reply_type);
}

void cl::Settle(Custody custody, bool answered, std::optional<std::uint32_t> reply_type) {
  switch (custody.kind) {
    case Custody::Kind::kLiveRecord:
      if (!answered && options_.spool) options_.spool(custody.record);
      return;
    case Custody::Kind::kLiveFile:
      if (answered) RemoveFile(custody.path);
      in_flight_->Remove(custody.path);
      return;
    case Custody::Kind::kSpoolFile: {
      SpoolFate fate = SpoolFate::kUnanswered;
      if (answered) fate = reply_type == mtSpoolAck ? SpoolFate::kAcknowledged : SpoolFate::kRefused;
      if (fate == SpoolFate::kAcknowledged) RemoveFile(custody.path);
      in_flight_->Remove(custody.path);
      if (observer_ != nullptr) observer_->OnSpoolFileSettled(custody.path, fate);
      return;
    }
  }
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
  // Whatever the old connection left unsettled is settled as unanswered; the
  // new one starts with certain pairing.
  SettleStep(std::nullopt);
  pairing_certain_ = true;
  Client.reset();
  Client = std::make_unique<TcpClient>();
  Client->SetConnectTimeout(options_.connect_timeout_ms);
  Client->SetReadTimeout(kInitialReadTimeoutMs);
  Client->SetWriteTimeout(options_.write_timeout_ms);
  Client->SetStopFlag(&stop_);
  Client->SetConnectedHandler([this] { return HandleConnected(); });
  Client->SetDisconnectedHandler([this] { HandleDisconnected(); });
  Accepted = false;
  registered_.store(false);

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
  {
    std::lock_guard lock(address_mutex_);
    address_ = address + ":" + std::to_string(port);
  }
  if (port <= 0 || port > 0xFFFF) return;  // no such port: the attempt fails
  Client->SetHost(address);
  Client->SetPort(static_cast<std::uint16_t>(port));
  if (!Client->Connect().ok()) return;

  LinkUp.store(true);
  if (observer_ != nullptr) observer_->OnConnected();
  LogLine(kLogConnected);
  StepServerTick();
}

bool cl::HandleConnected() {
  Put(mtRegister, RegisterBody(), std::nullopt);
  ReplyPending = true;
  Put(mtPortState, PortStateBody(host_.ComPort(), host_.PortOpen()), std::nullopt);
  Put(mtFirstNumber, FirstNumberBody(host_.FirstNumber()), std::nullopt);
  Put(mtVersion, VersionBody(SplitVersion(VersionText())), std::nullopt);
  return true;
}

void cl::HandleDisconnected() {
  LinkUp.store(false);
  StepServerTick();
}

void cl::DropConnection() {
  try {
    LinkUp.store(false);
    StepServerTick();
    if (Client) Client->Close();
  } catch (...) {
  }
}

bool cl::SendFrame(std::span<const std::uint8_t> message) {
  const TcpResult result =
      Client ? Client->Write(EncodeFrame(message)) : TcpResult{TcpFailure::kNotOpen, 0, 0};
  if (result.ok()) return true;
  if (Client) Client->Close();
  ++ErrorCount;
  return false;
}

std::string cl::ServerAddress() const {
  std::lock_guard lock(address_mutex_);
  return address_;
}

// --- Window hand-offs ------------------------------------------------------------

void cl::LogLine(const std::string& text) {
  LogText = text;
  const std::string line = FormatDateTime(clock_.Now()) + " " + text;
  // The call holds nothing of the link object, which may be gone when a window
  // busy elsewhere comes round to it.
  hand_off_.Run([&host = host_, line] { host.LogLine(line); });
}

void cl::StepServerTick() {
  hand_off_.Run([&host = host_] { host.StepServerTick(); });
}

}  // namespace drvvzt
