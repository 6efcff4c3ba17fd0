#pragma once

#include "client/platform/Services.h"

#include <QObject>

#include <memory>

class QMediaPlayer;
class QAudioOutput;
class QNetworkAccessManager;

// The unseen visit of the statistics page and the start-up chime. Both start and return at once;
// whatever goes wrong later (no server, no file, no codec, no sound card) passes in silence.
class StartupEffectsImpl : public QObject, public StartupEffects
{
    Q_OBJECT

public:
    explicit StartupEffectsImpl(int pingTimeoutMs = 15000, QObject *parent = nullptr);
    ~StartupEffectsImpl() override;

    void pingStatistics(const QString &url) override;
    // Volume from 0 to 100, as a listener hears it; played once.
    void playSound(const QString &file, int volume) override;

    // The output gain for a volume from 0 to 100 as a listener hears it (out of range clamps).
    static float linearVolume(int volume);

    int pendingPings() const { return m_pendingPings; }
    bool isPlaying() const;

Q_SIGNALS:
    void pingFinished();
    void soundFinished();

private:
    void stopSound();

    int m_pingTimeoutMs;
    int m_pendingPings = 0;
    QNetworkAccessManager *m_network = nullptr;
    QMediaPlayer *m_player = nullptr;
    QAudioOutput *m_audio = nullptr;
};
