// message_server_emulator: a stand-in message server for checking drivers.
// Serves every driver that connects, prints every message it receives, decoded
// and marked with its connection; the reply policy can be changed while it runs
// by commands on standard input ("help" lists them).
#include <getopt.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "tools/lib/command_line.h"
#include "tools/lib/message_server_emulator.h"

namespace {

using drvvzt::tools::ConnectionInfo;
using drvvzt::tools::EmulatorPolicy;
using drvvzt::tools::MessageServerEmulator;
using drvvzt::tools::ReceivedMessage;
using drvvzt::tools::ReplyMode;

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

std::mutex g_out;
void Say(const std::string& line) {
  std::lock_guard lock(g_out);
  std::cout << line << std::endl;
}

constexpr char kProgram[] = "message_server_emulator";

constexpr const char* kUsage =
    "usage: message_server_emulator [--port N] [--bind ADDR] [--policy NAME]\n"
    "                               [--ping-interval SECONDS] [--delay MS]\n"
    "                               [--help] [--version]\n"
    "Plays the message server for any number of drivers at once. Prints\n"
    "\"listening on ADDR:PORT\" with the port actually bound, then one line per\n"
    "connection opened or closed and per message received: \"#N PEER ...\", N the\n"
    "connection's number, PEER its remote address and port.\n"
    "  --port N              TCP port to listen on (default 12543; 0 picks a free one)\n"
    "  --bind ADDR           IPv4 address to listen on (default 127.0.0.1)\n"
    "  --policy NAME         how every frame is answered (default accept):\n"
    "      accept        mtAccepted after mtRegister, mtSpoolAck after station events,\n"
    "                    mtPoll otherwise\n"
    "      poll          mtPoll to everything\n"
    "      close | disconnect | denied   mtClose / mtDisconnect / mtDenied to everything\n"
    "      silent        read but never answer\n"
    "      garbage       answer with bytes that are no frame\n"
    "      stop-reading  stop reading the connection (half-open peer)\n"
    "      reset         reset the connection at the next frame\n"
    "  --ping-interval S     answer with mtPing once every S seconds (0 = never)\n"
    "  --delay MS            wait MS milliseconds before every answer\n"
    "  --help                this text\n"
    "  --version             the program's version\n"
    "The policy is one for all connections; each connection keeps its own\n"
    "handshake state, counters and ping interval.\n"
    "Exit status: 0 after SIGINT, SIGTERM or \"quit\", 1 when the port cannot be\n"
    "bound, 2 for a usage error.\n"
    "commands on standard input while running:\n"
    "  policy NAME | ping SECONDS | delay MS | once TYPE (ping, close, disconnect,\n"
    "  denied, accepted, ack, poll) | status | help | quit\n";

bool ApplyPolicyName(const std::string& name, EmulatorPolicy& policy) {
  EmulatorPolicy next = policy;
  next.mode = ReplyMode::kAnswer;
  next.accept_register = true;
  next.ack_events = true;
  if (name == "accept") {
  } else if (name == "poll") {
    next.accept_register = false;
    next.ack_events = false;
  } else if (name == "close" || name == "disconnect" || name == "denied") {
    next.mode = ReplyMode::kFixed;
    next.fixed_reply = name == "close"        ? drvvzt::mtClose
                       : name == "disconnect" ? drvvzt::mtDisconnect
                                              : drvvzt::mtDenied;
  } else if (name == "silent") {
    next.mode = ReplyMode::kSilent;
  } else if (name == "garbage") {
    next.mode = ReplyMode::kGarbage;
  } else if (name == "stop-reading") {
    next.mode = ReplyMode::kStopReading;
  } else if (name == "reset") {
    next.mode = ReplyMode::kReset;
  } else {
    return false;
  }
  policy = next;
  return true;
}

// A day; also keeps the interval in milliseconds within an int.
constexpr int kMaxPingSeconds = 86400;

bool ParseInt(const std::string& text, int& value) {
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || parsed < 0 || parsed > 86400000) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool OnceType(const std::string& name, std::uint32_t& type) {
  if (name == "ping") type = drvvzt::mtPing;
  else if (name == "close") type = drvvzt::mtClose;
  else if (name == "disconnect") type = drvvzt::mtDisconnect;
  else if (name == "denied") type = drvvzt::mtDenied;
  else if (name == "accepted") type = drvvzt::mtAccepted;
  else if (name == "ack") type = drvvzt::mtSpoolAck;
  else if (name == "poll") type = drvvzt::mtPoll;
  else return false;
  return true;
}

std::string ConnectionText(const ConnectionInfo& c) {
  return "#" + std::to_string(c.number) + " " + c.peer + (c.open ? " open" : " closed") +
         (c.registered ? ", registered" : ", not registered") + ", " +
         std::to_string(c.messages) + " messages, " + std::to_string(c.events) + " station events";
}

void PrintConnection(const ConnectionInfo& c) {
  if (c.open) {
    Say("#" + std::to_string(c.number) + " " + c.peer + " connected");
  } else {
    Say(ConnectionText(c));
  }
}

void PrintMessage(const ReceivedMessage& m) {
  std::string line = "#" + std::to_string(m.connection) + " " + m.peer + " " +
                     drvvzt::tools::DescribeMessage(m);
  line += m.reply ? " -> " + std::string(drvvzt::MessageTypeName(*m.reply)) : " -> (no frame)";
  Say(line);
}

// One command line from standard input; false when the program should end.
bool RunCommand(const std::string& line, MessageServerEmulator& emulator) {
  std::istringstream in(line);
  std::string word, arg;
  in >> word >> arg;
  EmulatorPolicy policy = emulator.Policy();
  int number = 0;
  std::uint32_t type = 0;
  if (word.empty()) return true;
  if (word == "quit" || word == "exit") return false;
  if (word == "help") {
    Say(kUsage);
  } else if (word == "policy" && ApplyPolicyName(arg, policy)) {
    emulator.SetPolicy(policy);
    Say("policy " + arg);
  } else if (word == "ping" && ParseInt(arg, number) && number <= kMaxPingSeconds) {
    policy.ping_interval_ms = number * 1000;
    emulator.SetPolicy(policy);
    Say("ping every " + arg + " s");
  } else if (word == "delay" && ParseInt(arg, number)) {
    policy.delay_ms = number;
    emulator.SetPolicy(policy);
    Say("delay " + arg + " ms");
  } else if (word == "once" && OnceType(arg, type)) {
    emulator.AnswerNextWith(type);
    Say("next frame answered with " + std::string(drvvzt::MessageTypeName(type)));
  } else if (word == "status") {
    Say("port " + std::to_string(emulator.Port()) + ", connections " +
        std::to_string(emulator.ConnectionCount()) + " (" +
        std::to_string(emulator.OpenConnectionCount()) + " open), messages " +
        std::to_string(emulator.MessageCount()));
    for (const ConnectionInfo& c : emulator.Connections()) {
      if (c.open) Say("  " + ConnectionText(c));
    }
  } else {
    Say("unknown command: " + line + " (try help)");
  }
  return true;
}

// Fills the settings from argv. Nothing to stop for: -1; otherwise the exit
// status (0 after --help or --version, kExitUsage after a usage error).
int ParseOptions(int argc, char** argv, int& port, std::string& bind, EmulatorPolicy& policy) {
  using namespace drvvzt::tools;
  enum { kPort = 'p', kBind = 'b', kPolicy = 'P', kHelp = 'h', kVersion = 0x100, kPing, kDelay };
  static const option kOptions[] = {
      {"port", required_argument, nullptr, kPort},
      {"bind", required_argument, nullptr, kBind},
      {"policy", required_argument, nullptr, kPolicy},
      {"ping-interval", required_argument, nullptr, kPing},
      {"delay", required_argument, nullptr, kDelay},
      {"help", no_argument, nullptr, kHelp},
      {"version", no_argument, nullptr, kVersion},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
    int number = 0;
    switch (c) {
      case kHelp: std::cout << kUsage; return 0;
      case kVersion: return PrintVersion(kProgram);
      case kPort:
        if (!ParseInt(optarg, number) || number > 65535) return BadValue(kProgram, "--port", optarg);
        port = number;
        break;
      case kBind: bind = optarg; break;
      case kPolicy:
        if (!ApplyPolicyName(optarg, policy)) return BadValue(kProgram, "--policy", optarg);
        break;
      case kPing:
        if (!ParseInt(optarg, number) || number > kMaxPingSeconds) {
          return BadValue(kProgram, "--ping-interval", optarg);
        }
        policy.ping_interval_ms = number * 1000;
        break;
      case kDelay:
        if (!ParseInt(optarg, number)) return BadValue(kProgram, "--delay", optarg);
        policy.delay_ms = number;
        break;
      default: return OptionError(kProgram, c, argv);
    }
  }
  if (optind < argc) {
    return UsageError(kProgram, std::string("unexpected argument '") + argv[optind] + "'");
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  int port = 12543;
  std::string bind = "127.0.0.1";
  EmulatorPolicy policy;
  if (const int status = ParseOptions(argc, argv, port, bind, policy); status >= 0) return status;

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  MessageServerEmulator emulator(policy, PrintMessage, PrintConnection);
  std::string error;
  if (!emulator.Start(static_cast<std::uint16_t>(port), bind, &error)) {
    std::cerr << kProgram << ": " << error << "\n";
    return 1;
  }
  Say("listening on " + bind + ":" + std::to_string(emulator.Port()));

  std::string pending;
  bool input_open = true;
  while (!g_stop) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    if (!input_open || ::poll(&in, 1, 200) <= 0) {
      if (!input_open) ::poll(nullptr, 0, 200);
      continue;
    }
    char chunk[512];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      input_open = false;  // keep serving until a signal arrives
      continue;
    }
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (!RunCommand(line, emulator)) g_stop = 1;
    }
  }
  emulator.Stop();
  Say("stopped");
  return 0;
}
