// The server link thread `cl`: the driver's only user of the connection to the
// message server. It connects, registers with a four-message handshake, sends
// what is queued (one message per step, each followed by one reply read),
// polls while idle once the server has accepted it, obeys the server's
// commands, counts link errors and reconnects by itself.
//
// What it carries is in LinkCustody's care (server/link_custody.h); what it
// reports goes out through LinkReports (server/link_reports.h); the handshake
// facts come from LinkHost. It talks to the server through a Transport
// (TcpClient in the driver) and times everything on the TickClock it is given,
// the deadline of every reply read included.
//
// An idle thread sleeps until its next deadline (the next poll, the next
// connection attempt) or until a message is queued or Stop() is asked for.
//
// Thread-safety:
//  - IsLinkUp(), IsRegistered(), IsDenied(), ServerAddress(), PutMessage(),
//    PutStationEvent(), QueueSpoolFile(), QueuedCount(), NextSequence() and
//    Stop(): any thread.
//  - Start() once, from the owner's thread.
//  - PrepareRun(), LinkStep() and FinishRun() are the thread's own work; tests
//    that drive the link step by step call them instead of Start(), from one
//    thread only.
//  - LogLine()/StepServerTick() reach the window through UiHandOff and never
//    block Stop().
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/ini_snapshot.h"
#include "platform/transport.h"
#include "server/link_custody.h"
#include "server/link_host.h"
#include "server/link_reports.h"
#include "server/message_queue.h"
#include "server/spool_link.h"
#include "server/ui_hand_off.h"
#include "server/wire_format.h"
#include "station/in_flight_files.h"
#include "station/server_link_port.h"

namespace drvvzt {

inline constexpr std::uint32_t kPollSpacingMs = 500;
inline constexpr std::uint32_t kReconnectSpacingMs = 5000;
// The pause between two steps while there is something to send or read.
inline constexpr int kBusyStepMs = 1;
inline constexpr int kErrorLimit = 20;
inline constexpr int kConnectTimeoutMs = 2500;
inline constexpr int kWriteTimeoutMs = 3000;
inline constexpr char kDefaultServerAddress[] = "127.0.0.1";
inline constexpr int kDefaultServerPort = 12543;
// The link thread's name, as /proc and debuggers show it.
inline constexpr char kLinkThreadName[] = "drvvzt-link";

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
  // Files in flight, shared with the event dispatch and spool forwarding;
  // nullptr: the link keeps a set of its own.
  InFlightFiles* in_flight = nullptr;
  // The last good reading of "drvvzt.ini", shared with the decoder, so that a
  // file half-written by an editor is never used; nullptr: the file is read
  // anew at every connection attempt.
  std::shared_ptr<IniSnapshot> ini;
};

// The transport the driver runs the link on: TCP with the link's limits.
std::unique_ptr<Transport> MakeServerTransport(TickClock& tick);

class cl final : public ServerLinkPort, public SpoolLink {
public:
  cl(LinkHost& host, LinkReports& reports, std::unique_ptr<Transport> transport, TickClock& tick,
     DateTimeClock& clock, ServerLinkOptions options);
  ~cl() override;  // stops the thread
  cl(const cl&) = delete;
  cl& operator=(const cl&) = delete;

  // Starts the thread: PrepareRun(), then LinkStep() until Stop().
  void Start();
  // Ends the thread within about 3 s whatever it is doing: closes an open
  // connection, spools live events still queued, releases the connection.
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
  // How long the thread may sleep after a step before the next one is due;
  // nothing when only a queued message or Stop() can make one due.
  std::optional<std::uint32_t> IdleMs();

private:
  bool Put(std::uint32_t msg_type, std::span<const std::uint8_t> body,
           std::optional<LinkCustody::Item> item);
  // A frame waiting before anything is written answers nothing we know of: it
  // is read and dropped, the pairing is in doubt, and the connection ends.
  bool DropOnStrayInput();
  void StepUp();
  void StepDown();
  bool SendQueued();
  void ReadReply();
  void HandleReply();
  void ConnectAttempt();
  void HandleConnected();
  void HandleDisconnected();
  void CloseConnection();
  void DropConnection();
  bool SendFrame(std::span<const std::uint8_t> message, std::uint32_t msg_type, std::uint64_t sequence);
  // Standard error hears of the first failure on each connection; the window
  // counts them (the error limit).
  void NoteFailure(const TcpResult& result);
  void LogLine(const std::string& text);
  void StepServerTick();
  LinkState State() const;
  // Empties the queue once nothing will send it: live events keep their files
  // or are spooled, spool files are handed back.
  void ReleaseQueue();
  void ThreadBody();
  void WaitForNextStep();
  void WakeThread();

  LinkHost& host_;
  LinkReports& reports_;
  std::unique_ptr<Transport> transport_;
  TickClock& tick_;
  DateTimeClock& clock_;
  ServerLinkOptions options_;
  UiHandOff hand_off_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  // Wakes an idle thread when a message is queued or a stop is asked for.
  std::mutex wake_mutex_;
  std::condition_variable wake_cv_;
  bool wake_ = false;

  MessageQueue Queue;
  InFlightFiles own_in_flight_;
  LinkCustody custody_;

  // Link thread only, except LinkUp.
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
  Bytes RecvBuf;
  Bytes ReplyBody;
  // The last failed transport call, for the line that gives the link up.
  std::string last_failure_;
  bool failure_reported_ = false;
  // The last connection failure reported, so that a server that stays away is
  // reported once, not every 5 s.
  std::string reported_connect_failure_;
  // Mirrors of Accepted and !MayReconnect, and the address, for other threads.
  std::atomic<bool> registered_{false};
  std::atomic<bool> denied_{false};
  mutable std::mutex address_mutex_;
  std::string address_;
};

}  // namespace drvvzt
