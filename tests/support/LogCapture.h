#pragma once

#include <QList>
#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

// Every message of every category, debug and info included, for as long as it lives; each line
// is "category: message". Messages from other threads are caught too.
class LogCapture
{
public:
    LogCapture()
    {
        // Info too: a category may show only warnings unless asked for more.
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true\n*.info=true"));
        QMutexLocker lock(&s_mutex);
        s_lines.clear();
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::setFilterRules(QString());
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const
    {
        QMutexLocker lock(&s_mutex);
        QStringList out;
        for (const Line &line : s_lines)
            out.append(line.text);
        return out;
    }
    // The messages of one category, without the category.
    QStringList messages(const QString &category) const { return select(category, nullptr); }
    // Only those of one type: warnings (and, where the category's level lets them through,
    // infos) are what a release build writes without configuration.
    QStringList messages(const QString &category, QtMsgType type) const
    {
        return select(category, &type);
    }

private:
    struct Line
    {
        QtMsgType type;
        QString text;
    };

    QStringList select(const QString &category, const QtMsgType *type) const
    {
        const QString prefix = category + QLatin1String(": ");
        QMutexLocker lock(&s_mutex);
        QStringList out;
        for (const Line &line : s_lines) {
            if (line.text.startsWith(prefix) && (!type || line.type == *type))
                out.append(line.text.mid(prefix.size()));
        }
        return out;
    }
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        QMutexLocker lock(&s_mutex);
        s_lines.append({type, QString::fromUtf8(context.category ? context.category : "") +
                                  QLatin1String(": ") + message});
    }
    static inline QMutex s_mutex;
    static inline QList<Line> s_lines;
    QtMessageHandler m_previous = nullptr;
};
