#include "download/DownloadLog.h"

#include <QUrl>

Q_LOGGING_CATEGORY(lcDownload, "tavrel.download")

QString urlForLog(const QString &url)
{
    const QUrl parsed(url);
    if (!parsed.isValid())
        return QStringLiteral("(invalid URL)");
    return parsed.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::RemoveFragment);
}
