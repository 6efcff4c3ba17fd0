#include "client/platform/StartupEffectsImpl.h"

#include "net/HttpPolicy.h"

#include "client/platform/SoundPlayer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLibrary>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>

// The visit and the chime are extras that are often missing on purpose (no statistics page, no
// sound card, the file removed): only a chime that fails to play warns without configuration.
Q_LOGGING_CATEGORY(lcEffects, "tavrel.effects", QtWarningMsg)

namespace {

#ifdef Q_OS_LINUX
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
    using namespace tavrel;
    const QUrl target(url);
    // Only a web page is visited; anything else is not the statistics page.
    if (!http::isWebUrl(target)) {
        qCDebug(lcEffects) << "statistics visit skipped: not a web address";
        return;
    }
    if (!m_network)
        m_network = new QNetworkAccessManager(this);

    QNetworkRequest request =
        http::makeRequest(target, http::RedirectMode::AvoidLostRedirectChains);
    request.setTransferTimeout(m_pingTimeoutMs);
    QNetworkReply *reply = m_network->get(request);
    reply->setReadBufferSize(http::ReadBufferSize);
    ++m_pendingPings;

    // Nobody reads the page: its bytes are dropped as they come, and a page that goes on past
    // a small size is cut, so an endless one costs neither memory nor a connection for long.
    // One that trickles in without end is ended at the deadline.
    struct Visit
    {
        qint64 dropped = 0;
        enum { Whole, TooLarge, TooLate } cut = Whole;
        QList<QSslError> tlsFaults;
    };
    auto visit = std::make_shared<Visit>();
    const auto stop = [reply, visit](decltype(Visit::cut) why) {
        if (visit->cut != Visit::Whole || reply->isFinished())
            return;
        visit->cut = why;
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    };
    connect(reply, &QNetworkReply::readyRead, this, [reply, visit, stop] {
        visit->dropped += reply->skip(reply->bytesAvailable());
        if (visit->dropped > http::MaxUnreadBodySize)
            stop(Visit::TooLarge);
    });
    QTimer::singleShot(m_pingDeadline, reply, [stop] { stop(Visit::TooLate); });
    connect(reply, &QNetworkReply::sslErrors, this,
            [visit](const QList<QSslError> &faults) { visit->tlsFaults = faults; });
    connect(reply, &QNetworkReply::finished, this, [this, reply, visit, deadline = m_pingDeadline] {
        const QString where = http::urlForLog(reply->url().toString());
        if (visit->cut == Visit::TooLarge) {
            qCInfo(lcEffects).noquote() << "statistics visit to" << where << "cut: the page goes on"
                                        << "past" << http::MaxUnreadBodySize << "bytes";
        } else if (visit->cut == Visit::TooLate) {
            qCInfo(lcEffects).noquote() << "statistics visit to" << where << "cut: not done within"
                                        << deadline.count() << "ms";
        } else if (reply->error() != QNetworkReply::NoError) {
            const std::optional<NetworkFailure> failure = http::transportFailure(reply);
            QString why = http::failureText(reply->error());
            if (!failure)
                why = http::statusText(reply);
            else if (*failure == NetworkFailure::SecureConnection && !visit->tlsFaults.isEmpty())
                why = http::tlsFaultsForLog(visit->tlsFaults);
            qCInfo(lcEffects).noquote() << "statistics visit to" << where << "failed:" << why;
        }
        reply->deleteLater();
        --m_pendingPings;
        Q_EMIT pingFinished();
    });
}

float StartupEffectsImpl::linearVolume(int volume)
{
    // A volume slider's 50 sounds half as loud, which is far less than half the amplitude: the
    // slider is logarithmic over 40 dB, as Qt's own volume scales are.
    const double perceived = double(std::clamp(volume, 0, 100)) / 100.0;
    if (perceived >= 1.0)
        return 1.0f;
    return float(-std::log(1.0 - perceived) / std::log(100.0));
}

namespace {

// The plugin's factory, loaded once: beside the program (build tree, a portable copy), else in
// the program's own folder under the library folder (installed). The library stays loaded.
SoundPlayerFactory *soundPlayerFactory()
{
    static SoundPlayerFactory *const factory = [] {
        const QString here = QCoreApplication::applicationDirPath();
        for (const QString &folder : {here, here + QStringLiteral("/" TAVREL_SOUND_PLUGIN_DIR)}) {
            QLibrary plugin(folder + QLatin1Char('/') + QLatin1String(SoundPlayerPluginName));
            if (auto *make =
                    reinterpret_cast<SoundPlayerFactory *>(plugin.resolve(SoundPlayerFactoryName)))
                return make;
        }
        qCInfo(lcEffects) << "no sound player plugin beside the program";
        return static_cast<SoundPlayerFactory *>(nullptr);
    }();
    return factory;
}

} // namespace

void StartupEffectsImpl::playSound(const QString &file, int volume)
{
    // A missing file plays nothing; checking here spares loading the media backend for it.
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable()) {
        qCDebug(lcEffects) << "no start-up sound file";
        return;
    }

    if (!m_soundThread) {
        SoundPlayerFactory *make = soundPlayerFactory();
        // Told on the sound thread, counted here.
        SoundPlayer *sound = make ? make([this] {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    --m_soundsUnderWay;
                    Q_EMIT soundFinished();
                },
                Qt::QueuedConnection);
        })
                                  : nullptr;
        if (!sound) {
            qCInfo(lcEffects) << "no audio output for the start-up sound";
            return;
        }
        m_soundThread = new QThread(this);
        m_soundThread->setObjectName(QStringLiteral("start-up sound"));
        m_sound = sound;
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
