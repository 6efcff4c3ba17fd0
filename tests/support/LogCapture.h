#pragma once

#include <QLoggingCategory>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>

// Every message of every category, debug included, for as long as it lives; each line is
// "category: message". Messages from other threads are caught too.
class LogCapture
{
public:
    LogCapture()
    {
        QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
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
        return s_lines;
    }
    // The messages of one category, without the category.
    QStringList messages(const QString &category) const
    {
        const QString prefix = category + QLatin1String(": ");
        QStringList out;
        for (const QString &line : lines()) {
            if (line.startsWith(prefix))
                out.append(line.mid(prefix.size()));
        }
        return out;
    }

private:
    static void handler(QtMsgType, const QMessageLogContext &context, const QString &message)
    {
        QMutexLocker lock(&s_mutex);
        s_lines.append(QString::fromUtf8(context.category ? context.category : "") +
                       QLatin1String(": ") + message);
    }
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    QtMessageHandler m_previous = nullptr;
};
