#pragma once

#include <QObject>
#include <QString>

#include <functional>

// The start-up chime's player. It is built into a plugin of its own, libtavrel_sound.so, so
// that Qt Multimedia and the many libraries it pulls in load only when a sound plays, after the
// window is on screen, and not every time the program starts.
class SoundPlayer : public QObject
{
public:
    using QObject::QObject;
    // Plays the file once at a linear gain from 0 to 1 and calls the `ended` it was made with
    // when done or failed, on its own thread. One sound at a time: a new one ends the one before.
    virtual void play(const QString &path, float gain) = 0;
};

// What the plugin exports under SoundPlayerFactoryName: a player, or null when the machine has
// no audio output (Qt 6.4's FFmpeg backend crashes in its audio thread without one).
using SoundPlayerFactory = SoundPlayer *(std::function<void()> ended);
inline constexpr char SoundPlayerFactoryName[] = "tavrel_make_sound_player";
inline constexpr char SoundPlayerPluginName[] = "libtavrel_sound.so";
