#pragma once

#include "client/platform/Services.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

// Stand-ins for the window's surroundings: they record what the window asked for and answer
// from a script.

// Answers each GET from a queue of scripted results; with the queue empty, from a default.
class FakeTransfer : public Transfer
{
public:
    FetchResult fetch(const QString &url) override
    {
        urls.append(url);
        if (onFetch)
            onFetch(url);
        if (!script.empty()) {
            FetchResult r = script.front();
            script.pop_front();
            return r;
        }
        return fallback;
    }
    void reply(const QByteArray &body) { script.push_back(FetchResult::success(body)); }
    void fail(const QString &why = QStringLiteral("connection refused"))
    {
        script.push_back(FetchResult::failure(why));
    }

    QStringList urls;
    std::deque<FetchResult> script;
    FetchResult fallback = FetchResult::failure(QStringLiteral("no reply scripted"));
    std::function<void(const QString &)> onFetch;
};

// Records every box and answers with scripted buttons (OK, or Yes for questions, by default).
class FakePrompter : public Prompter
{
public:
    struct Box
    {
        QString text;
        QString title;
        Buttons buttons;
        Icon icon;
    };
    Answer ask(const QString &text, const QString &title, Buttons buttons, Icon icon) override
    {
        boxes.append({text, title, buttons, icon});
        if (!answers.empty()) {
            Answer a = answers.front();
            answers.pop_front();
            return a;
        }
        return buttons == Buttons::Ok ? Answer::Ok : Answer::Yes;
    }
    QStringList texts() const
    {
        QStringList t;
        for (const Box &b : boxes)
            t.append(b.text);
        return t;
    }

    QList<Box> boxes;
    std::deque<Answer> answers;
};

class FakeDesktop : public Desktop
{
public:
    void openFolder(const QString &path) override
    {
        openedFolders.append(path);
        if (onOpenFolder)
            onOpenFolder(path);
    }
    void openUrl(const QString &url) override { openedUrls.append(url); }
    bool makePath(const QString &path) override
    {
        madePaths.append(path);
        return realMakePath ? realMakePath(path) : true;
    }

    QStringList openedFolders;
    QStringList openedUrls;
    QStringList madePaths;
    std::function<bool(const QString &)> realMakePath;
    std::function<void(const QString &)> onOpenFolder;
};

class FakeEffects : public StartupEffects
{
public:
    void pingStatistics(const QString &url) override { pings.append(url); }
    void playSound(const QString &file, int volume) override
    {
        sounds.append(file);
        volumes.append(volume);
    }

    QStringList pings;
    QStringList sounds;
    QList<int> volumes;
};
