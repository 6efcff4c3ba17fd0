#pragma once

#include "client/platform/Services.h"

#include "net/HttpPolicy.h"

#include <QObject>

#include <chrono>

class QNetworkAccessManager;
class QThread;
class SoundPlayer;

// The unseen visit of the statistics page and the start-up chime. Both start and return at once;
// whatever goes wrong later (no server, no file, no codec, no sound card) passes in silence.
// The chime plays on a thread of its own: building a media player takes the backend a second or
// more, which the window should not spend frozen.
class StartupEffectsImpl : public QObject, public StartupEffects
{
    Q_OBJECT

public:
    explicit StartupEffectsImpl(int pingTimeoutMs = 15000, QObject *parent = nullptr);
    ~StartupEffectsImpl() override;

    void pingStatistics(const QString &url) override;
    // A visit not done in this time is ended (one minute unless set).
    void setPingDeadline(std::chrono::milliseconds deadline) { m_pingDeadline = deadline; }
    // Volume from 0 to 100, as a listener hears it; played once.
    void playSound(const QString &file, int volume) override;

    // The output gain for a volume from 0 to 100 as a listener hears it (out of range clamps).
    static float linearVolume(int volume);

    int pendingPings() const { return m_pendingPings; }
    // From the call that started a sound until it has ended or failed.
    bool isPlaying() const { return m_soundsUnderWay > 0; }

Q_SIGNALS:
    void pingFinished();
    void soundFinished();

private:
    // Ends the sound under way and the thread it plays on.
    void stopSound();

    int m_pingTimeoutMs;
    std::chrono::milliseconds m_pingDeadline = tavrel::http::RequestDeadline;
    int m_pendingPings = 0;
    QNetworkAccessManager *m_network = nullptr;

    QThread *m_soundThread = nullptr;
    SoundPlayer *m_sound = nullptr; // lives on m_soundThread
    int m_soundsUnderWay = 0;
};
