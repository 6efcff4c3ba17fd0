#pragma once

#include <QString>

#include <condition_variable>
#include <mutex>
#include <thread>

class QObject;

// Tells systemd how the service is doing (Type=notify): nothing happens when the process was
// not started by systemd with a notification socket.
namespace SystemdNotify {

void ready(const QString &status); // listening and serving
void status(const QString &status);
void stopping();

// Beats the watchdog from the event loop of `context`'s thread when the unit asks for one
// (WatchdogSec): a loop that stops turning stops the beats, and systemd restarts the service.
void startWatchdog(QObject *context);

// While alive, asks systemd every few seconds for more start-up time: a store being upgraded
// may take longer than the unit's start time-out.
class StartupExtension
{
public:
    explicit StartupExtension(const QString &status);
    ~StartupExtension();
    StartupExtension(const StartupExtension &) = delete;
    StartupExtension &operator=(const StartupExtension &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

} // namespace SystemdNotify
