#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

class FetchService;

// What the window leans on, each behind a small interface so tests can put fakes in its place
// and the program wires the real ones in app/main.cpp.

// The outcome of one blocking GET: the body when a reply arrived (whatever its status), or the
// reason the transfer failed. A wait the program's end cut short is `cancelled`: nobody is
// there to be told.
struct FetchResult
{
    bool ok = false;
    QByteArray body;
    QString error;
    bool cancelled = false;

    static FetchResult success(QByteArray bytes) { return {true, std::move(bytes), {}, false}; }
    static FetchResult failure(QString why) { return {false, {}, std::move(why), false}; }
    static FetchResult cancel() { return {false, {}, {}, true}; }
};

// One blocking GET of a complete URL. While it waits the window keeps painting, shows a busy
// cursor and drops (never queues) the user's input.
class Transfer
{
public:
    virtual ~Transfer() = default;
    virtual FetchResult fetch(const QString &url) = 0;
};

// Modal message boxes that return the button pressed.
class Prompter
{
public:
    enum class Buttons { Ok, YesNoCancel, YesNo };
    enum class Icon { None, Critical };
    enum class Answer { Ok, Yes, No, Cancel };

    virtual ~Prompter() = default;
    virtual Answer ask(const QString &text, const QString &title, Buttons buttons,
                       Icon icon = Icon::None) = 0;
};

// The desktop around the program: folders and the web browser.
class Desktop
{
public:
    virtual ~Desktop() = default;
    virtual void openFolder(const QString &path) = 0;
    virtual void openUrl(const QString &url) = 0;
    // Makes every missing folder of the path; false when that is not possible.
    virtual bool makePath(const QString &path) = 0;
};

// The two things start-up does on the side: the unseen visit of the statistics page and the
// start-up sound. Neither may block the window or report a failure.
class StartupEffects
{
public:
    virtual ~StartupEffects() = default;
    virtual void pingStatistics(const QString &url) = 0;
    virtual void playSound(const QString &file, int volume) = 0;
};

struct MainServices
{
    Transfer *transfer = nullptr;
    Prompter *prompter = nullptr;
    Desktop *desktop = nullptr;
    StartupEffects *effects = nullptr;
    // Makes the fetch service of the window's download control.
    std::function<std::unique_ptr<FetchService>()> makeFetchService;

    QString programFolder; // the program's own files (skin, chime), no trailing separator:
                           // share/tavrel when installed, else the executable's folder
    QString libraryRoot;   // where downloaded items go, ends with a separator
    QString baseUrl;       // catalog server, ends with "adminphp/"
    QString statisticsUrl; // the visit-statistics page
    // Start-up's requests wait until the window has been painted once, so a slow or hung server
    // never keeps it off the screen. Off, they go out at once (a window never shown, in tests).
    bool requestsAfterFirstPaint = false;
};
