#include "client/platform/StartupEffectsImpl.h"

#include "net/HttpPolicy.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QUrl>

#if __has_include(<QMediaPlayer>)
#include <QAudio>
#include <QAudioDevice>
#include <QAudioOutput>
#include <QLibraryInfo>
#include <QMediaDevices>
#include <QMediaPlayer>
#define TAVREL_HAVE_MULTIMEDIA 1
#endif

#include <algorithm>
#include <functional>
#include <utility>

// The visit and the chime are extras that are often missing on purpose (no statistics page, no
// sound card, the file removed): only a chime that fails to play warns without configuration.
Q_LOGGING_CATEGORY(lcEffects, "tavrel.effects", QtWarningMsg)

namespace {

#if defined(TAVREL_HAVE_MULTIMEDIA) && defined(Q_OS_LINUX)
// Qt 6.4 on Linux picks its GStreamer backend, which crashes while building a player when
// GStreamer's base plugins are not installed (Debian does not pull them in). The FFmpeg backend
// ships in the same package and needs nothing more, so it is preferred when it is there. A
// backend the user chose stays; the choice must be made before multimedia is first used.
void preferFfmpegBackend()
{
    if (!qEnvironmentVariableIsEmpty("QT_MEDIA_BACKEND"))
        return;
    const QString plugin = QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                           QStringLiteral("/multimedia/libffmpegmediaplugin.so");
    if (QFileInfo::exists(plugin))
        qputenv("QT_MEDIA_BACKEND", "ffmpeg");
}
#else
void preferFfmpegBackend() {}
#endif

} // namespace

StartupEffectsImpl::StartupEffectsImpl(int pingTimeoutMs, QObject *parent)
    : QObject(parent), m_pingTimeoutMs(pingTimeoutMs)
{
    preferFfmpegBackend();
}

StartupEffectsImpl::~StartupEffectsImpl()
{
    stopSound();
}

void StartupEffectsImpl::pingStatistics(const QString &url)
{
    const QUrl target(url);
    // Only a web page is visited; anything else is not the statistics page.
    if (!target.isValid() ||
        (target.scheme() != QLatin1String("http") && target.scheme() != QLatin1String("https"))) {
        qCDebug(lcEffects) << "statistics visit skipped: not a web address";
        return;
    }
    if (!m_network)
        m_network = new QNetworkAccessManager(this);

    QNetworkRequest request(target);
    request.setTransferTimeout(m_pingTimeoutMs);
    QNetworkReply *reply = m_network->get(request);
    ++m_pendingPings;
    // Nobody reads the page: whatever the outcome, the reply just goes away.
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        if (reply->error() != QNetworkReply::NoError) {
            using namespace tavrel;
            qCInfo(lcEffects).noquote()
                << "statistics visit to" << http::urlForLog(reply->url().toString()) << "failed:"
                << (http::transportFailure(reply) ? http::failureText(reply->error())
                                                  : http::statusText(reply));
        }
        reply->deleteLater();
        --m_pendingPings;
        Q_EMIT pingFinished();
    });
}

float StartupEffectsImpl::linearVolume(int volume)
{
    // A volume slider's 50 sounds half as loud, which is far less than half the amplitude.
    const float perceived = float(std::clamp(volume, 0, 100)) / 100.0f;
#ifdef TAVREL_HAVE_MULTIMEDIA
    return QAudio::convertVolume(perceived, QAudio::LogarithmicVolumeScale,
                                 QAudio::LinearVolumeScale);
#else
    return perceived;
#endif
}

#ifdef TAVREL_HAVE_MULTIMEDIA

// Owns the player on the sound thread. One sound at a time: a new one ends the one before.
// (No Q_OBJECT: it would hide from moc behind the multimedia check above.)
class SoundPlayer : public QObject
{
public:
    explicit SoundPlayer(std::function<void()> ended) : m_ended(std::move(ended)) {}

    void play(const QString &path, float gain)
    {
        finish();
        m_player = new QMediaPlayer(this);
        auto *output = new QAudioOutput(m_player);
        output->setVolume(gain);
        m_player->setAudioOutput(output);
        m_player->setLoops(1);

        connect(m_player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
            qCWarning(lcEffects) << "start-up sound not played:" << error;
            finish();
        });
        connect(m_player, &QMediaPlayer::mediaStatusChanged, this,
                [this](QMediaPlayer::MediaStatus status) {
                    if (status == QMediaPlayer::EndOfMedia || status == QMediaPlayer::InvalidMedia)
                        finish();
                });
        QMediaPlayer *player = m_player;
        player->setSource(QUrl::fromLocalFile(path));
        // A file the backend cannot read fails inside setSource, which has ended it already.
        if (m_player == player)
            player->play();
    }

private:
    void finish()
    {
        if (!m_player)
            return;
        QMediaPlayer *player = m_player;
        m_player = nullptr;
        player->disconnect(this);
        player->stop();
        // Not deleted here: this may run inside one of the player's own signals.
        player->deleteLater();
        m_ended();
    }

    std::function<void()> m_ended;
    QMediaPlayer *m_player = nullptr;
};

void StartupEffectsImpl::playSound(const QString &file, int volume)
{
    // A missing file plays nothing; checking here spares starting the media backend for it.
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable()) {
        qCDebug(lcEffects) << "no start-up sound file";
        return;
    }
    // Without an audio output, Qt 6.4's FFmpeg backend crashes in its audio thread once the
    // player starts (offscreen test runs, servers, desktops without a sound server).
    if (QMediaDevices::defaultAudioOutput().isNull()) {
        qCInfo(lcEffects) << "no audio output for the start-up sound";
        return;
    }

    if (!m_soundThread) {
        m_soundThread = new QThread(this);
        m_soundThread->setObjectName(QStringLiteral("start-up sound"));
        // Told on the sound thread, counted here.
        m_sound = new SoundPlayer([this] {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    --m_soundsUnderWay;
                    Q_EMIT soundFinished();
                },
                Qt::QueuedConnection);
        });
        m_sound->moveToThread(m_soundThread);
        // The player goes with its thread, on that thread.
        connect(m_soundThread, &QThread::finished, m_sound, &QObject::deleteLater);
        m_soundThread->start();
    }
    ++m_soundsUnderWay;
    const QString path = info.absoluteFilePath();
    const float gain = linearVolume(volume);
    QMetaObject::invokeMethod(m_sound, [sound = m_sound, path, gain] { sound->play(path, gain); });
}

void StartupEffectsImpl::stopSound()
{
    if (!m_soundThread)
        return;
    m_soundThread->quit();
    m_soundThread->wait();
    m_soundThread = nullptr;
    m_sound = nullptr;
    m_soundsUnderWay = 0;
}

#else

void StartupEffectsImpl::playSound(const QString &, int)
{
    qCDebug(lcEffects) << "built without sound";
}

void StartupEffectsImpl::stopSound() {}

#endif
