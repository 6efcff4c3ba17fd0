// The start-up chime's player over Qt Multimedia, loaded by the program only to play a sound.

#include "client/platform/SoundPlayer.h"

#include <QAudioDevice>
#include <QAudioOutput>
#include <QLoggingCategory>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QUrl>

Q_LOGGING_CATEGORY(lcSound, "tavrel.effects", QtWarningMsg)

namespace {

class MediaSoundPlayer : public SoundPlayer
{
public:
    explicit MediaSoundPlayer(std::function<void()> ended) : m_ended(std::move(ended)) {}

    void play(const QString &path, float gain) override
    {
        finish();
        m_player = new QMediaPlayer(this);
        auto *output = new QAudioOutput(m_player);
        output->setVolume(gain);
        m_player->setAudioOutput(output);
        m_player->setLoops(1);

        connect(m_player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
            qCWarning(lcSound) << "start-up sound not played:" << error;
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

} // namespace

extern "C" Q_DECL_EXPORT SoundPlayer *tavrel_make_sound_player(std::function<void()> ended)
{
    if (QMediaDevices::defaultAudioOutput().isNull())
        return nullptr;
    return new MediaSoundPlayer(std::move(ended));
}
