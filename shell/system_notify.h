// Telling systemd how the driver is: READY=1 once start-up has finished,
// STOPPING=1 at shut-down, and WATCHDOG=1 from the event loop while it turns.
// Without NOTIFY_SOCKET (not started by systemd) every call does nothing.
//
// The calls belong to the user-interface thread.
#pragma once

#include <QObject>
#include <QTimer>

namespace drvvzt {

void NotifyReady();
void NotifyStopping();

// Sends WATCHDOG=1 at half the interval systemd asks for, from a timer of the
// event loop: a loop that hangs stops the keep-alives and systemd restarts the
// driver. Does nothing when systemd asks for no watchdog.
class WatchdogKeepAlive final : public QObject {
public:
  explicit WatchdogKeepAlive(QObject* parent = nullptr);

private:
  QTimer timer_;
};

}  // namespace drvvzt
