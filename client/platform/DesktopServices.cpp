#include "client/platform/DesktopServices.h"

#include <QDesktopServices>
#include <QDir>
#include <QUrl>

void DesktopServices::openFolder(const QString &path)
{
    // fromLocalFile, not QUrl(path): item titles may hold '#', '%' or '?'.
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void DesktopServices::openUrl(const QString &url)
{
    QDesktopServices::openUrl(QUrl(url));
}

bool DesktopServices::makePath(const QString &path)
{
    return QDir().mkpath(path);
}
