// The server link thread `cl`: the driver's only user of the TCP connection to
// the message server. It connects, registers with a four-message handshake,
// sends what is queued (one message per step, each followed by one reply read),
// polls while idle once the server has accepted it, obeys the server's
// commands, counts link errors and reconnects by itself.
//
// Custody. Every queued station event and forwarded spool file is tracked by
// its sequence number until the reply read in the step that wrote it settles
// its fate. The server answers every message with exactly one frame, in order,
// so that reply is the message's answer only while the pairing on this
// connection is certain: no read on it has failed, and no frame was already
// waiting before a message was written. Then
//  - a live event's write-ahead file is deleted on any valid reply;
//  - a forwarded spool file is deleted only on mtSpoolAck;
// and in every other case the file stays and spool forwarding sends it later.
// A live event that has no file (the disk refused it) is spooled when it gets
// no certain answer. Once the pairing is in doubt nothing is deleted on that
// connection; the first valid frame that shows the server alive then ends the
// connection, and the next one starts with certain pairing again. Live events
// still queued when the thread stops, or when the server refuses the driver for
// good, keep their files or are spooled.
//
// Thread-safety:
//  - IsLinkUp(), PutMessage(), PutStationEvent(), QueueSpoolFile(), QueuedCount() and Stop():
//    any thread.
//  - Start() once, from the owner's thread; SetObserver() before Start().
//  - PrepareRun() and LinkStep() are the thread's own work; tests that drive the
//    link step by step call them instead of Start(), from one thread only.
//  - LogLine()/StepServerTick() reach the window through UiHandOff and never
//    block Stop().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <span>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/ini_snapshot.h"
#include "platform/tcp_client.h"
#include "server/link_host.h"
#include "server/message_queue.h"
#include "server/spool_link.h"
#include "server/ui_hand_off.h"
#include "server/wire_format.h"
#include "station/in_flight_files.h"
#include "station/server_link_port.h"
#include "station/spool_writer.h"

namespace drvvzt {

inline constexpr std::uint32_t kPollSpacingMs = 500;
inline constexpr std::uint32_t kReconnectSpacingMs = 5000;
// Longest pause of an idle link thread between two steps.
inline constexpr int kIdleStepMs = 10;
inline constexpr int kErrorLimit = 20;
inline constexpr int kConnectTimeoutMs = 2500;
inline constexpr int kWriteTimeoutMs = 3000;
inline constexpr int kInitialReadTimeoutMs = 3000;
inline constexpr char kDefaultServerAddress[] = "127.0.0.1";
inline constexpr int kDefaultServerPort = 12543;

// The five lines the link writes to the window's log.
inline constexpr char kLogConnecting[] = "Соединение...";
inline constexpr char kLogConnected[] = "Соединение установлено.";
inline constexpr char kLogNetworkErrors[] = "Ошибки по сети - переподсоединение.";
inline constexpr char kLogServerDisconnect[] = "Сервер дал команду на рассоединение.";
inline constexpr char kLogDenied[] = "Доступ запрещен.";

struct ServerLinkOptions {
  // Directory holding "drvvzt.ini"; empty means the working directory at start.
  std::string work_dir;
  // Posts a call to the window's thread; empty runs window calls on the link thread.
  UiHandOff::PostFn post;
  // Writes one live event record to a spool file; false when it could not.
  std::function<bool(std::span<const std::uint8_t> record)> spool;
  // Files in flight, shared with the event dispatch and spool forwarding;
  // nullptr: the link keeps a set of its own.
  InFlightFiles* in_flight = nullptr;
  // The last good reading of "drvvzt.ini", shared with the decoder, so that a
  // file half-written by an editor is never used; nullptr: the file is read
  // anew at every connection attempt.
  std::shared_ptr<IniSnapshot> ini;
  // Per-wait limit of a reply read (the server is expected within a second);
  // tests of a silent server shorten it.
  int reply_read_timeout_ms = 1000;
  int connect_timeout_ms = kConnectTimeoutMs;
  int write_timeout_ms = kWriteTimeoutMs;
};

// The spool function of ServerLinkOptions for the driver's spool writer
// (records of any other size than a station event are refused).
std::function<bool(std::span<const std::uint8_t>)> SpoolThrough(SpoolWriter& writer);

class cl final : public ServerLinkPort, public SpoolLink {
public:
  cl(LinkHost& host, TickClock& tick, DateTimeClock& clock, ServerLinkOptions options);
  ~cl() override;  // stops the thread
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  void SetObserver(LinkObserver* observer) { observer_ = observer; }
  // Starts the thread: PrepareRun(), then LinkStep() with a short pause between
  // steps (see PauseBetweenSteps) until Stop().
  void Start();
  // Ends the thread within about 3 s whatever it is doing: closes an open
  // connection, spools live events still queued, releases the client.
  void Stop();

  bool IsLinkUp() const override { return LinkUp.load(); }
  // The server accepted the driver on the current connection.
  bool IsRegistered() const { return registered_.load(); }
  // The server refused the driver for good (mtDenied).
  bool IsDenied() const { return denied_.load(); }
  // "host:port" of the last connection attempt ("" before the first).
  std::string ServerAddress() const;
  // Any message; a station event queued here is tracked like PutStationEvent
  // without a file. False when the queue was full (or the link stopped).
  bool PutMessage(std::uint32_t msg_type, std::span<const std::uint8_t> body) override;
  bool PutStationEvent(std::span<const std::uint8_t> record, const std::string& file_path) override;
  bool QueueSpoolFile(std::uint32_t msg_type, std::span<const std::uint8_t> body,
                      const std::string& path) override;
  std::size_t QueuedCount() const { return Queue.Count(); }
  std::uint64_t NextSequence() const { return Queue.NextSequence(); }

  // The thread's own work, public for step-by-step tests.
  void PrepareRun();
  void LinkStep();
  // Spools queued live events and releases the connection (the thread's last act).
  void FinishRun();

private:
  // What a queued message carries besides its bytes.
  struct Custody {
    enum class Kind { kLiveRecord, kLiveFile, kSpoolFile } kind = Kind::kLiveRecord;
    Bytes record;      // kLiveRecord: the event, spooled when unanswered
    std::string path;  // kLiveFile, kSpoolFile: the file in flight
  };

  bool Put(std::uint32_t msg_type, std::span<const std::uint8_t> body,
           std::optional<Custody> custody);
  // Settles the custody of the message written in this step by the reply just
  // read (nothing: no valid reply).
  void SettleStep(std::optional<std::uint32_t> valid_reply_type);
  void Settle(Custody custody, bool answered, std::optional<std::uint32_t> reply_type);
  // A frame waiting before anything is written answers nothing we know of: it
  // is read and dropped, the pairing is in doubt, and the connection ends.
  bool DropOnStrayInput();
  void StepUp();
  void StepDown();
  bool SendQueued();
  void ReadReply();
  void HandleReply();
  void ConnectAttempt();
  bool HandleConnected();
  void HandleDisconnected();
  void DropConnection();
  bool SendFrame(std::span<const std::uint8_t> message);
  void LogLine(const std::string& text);
  void StepServerTick();
  // Empties the queue once nothing will send it: live events keep their files
  // or are spooled, spool files are handed back.
  void ReleaseQueue();
  void ThreadBody();
  void PauseBetweenSteps();
  void WakeThread();

  LinkHost& host_;
  TickClock& tick_;
  DateTimeClock& clock_;
  ServerLinkOptions options_;
  LinkObserver* observer_ = nullptr;
  UiHandOff hand_off_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  // Wakes an idle thread when a message is queued or a stop is asked for.
  std::mutex wake_mutex_;
  std::condition_variable wake_cv_;
  bool wake_ = false;

  MessageQueue Queue;
  // Custody of queued messages by sequence number; guarded by producer_mutex_,
  // which also makes numbering a message and recording its custody indivisible.
  mutable std::mutex producer_mutex_;
  std::map<std::uint64_t, Custody> custody_;
  InFlightFiles own_in_flight_;
  InFlightFiles* const in_flight_;

  // Link thread only, except LinkUp.
  std::unique_ptr<TcpClient> Client;
  std::atomic<bool> LinkUp{false};
  bool MayReconnect = true;
  bool DeniedLogged = false;
  bool Accepted = false;
  bool PollDue = false;
  bool ReplyPending = false;
  int ErrorCount = 0;
  std::uint32_t LastPollTick = 0;
  std::uint32_t LastConnectTick = 0;
  std::string WorkDir;
  std::string LogText;
  Bytes RecvBuf;
  Bytes ReplyBody;
  // The custody of the message written in this step, until its reply is read.
  std::optional<Custody> step_custody_;
  // No read on this connection failed and no stray frame was seen.
  bool pairing_certain_ = true;
  // Mirrors of Accepted and !MayReconnect, and the address, for other threads.
  std::atomic<bool> registered_{false};
  std::atomic<bool> denied_{false};
  mutable std::mutex address_mutex_;
  std::string address_;
};

}  // namespace drvvzt
