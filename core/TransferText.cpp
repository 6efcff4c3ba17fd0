#include "core/TransferText.h"

#include <QCoreApplication>

#include <cmath>

namespace tavrel {

QString sizeText(qint64 bytes)
{
    static const char *const units[] = {
        QT_TRANSLATE_NOOP("TransferText", "%1 KB"), QT_TRANSLATE_NOOP("TransferText", "%1 MB"),
        QT_TRANSLATE_NOOP("TransferText", "%1 GB"), QT_TRANSLATE_NOOP("TransferText", "%1 TB")};
    if (bytes < 1024)
        return QCoreApplication::translate("TransferText", "%1 B").arg(std::max<qint64>(bytes, 0));
    double value = double(bytes) / 1024.0;
    int unit = 0;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    return QCoreApplication::translate("TransferText", units[unit]).arg(value, 0, 'f', 1);
}

QString durationText(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    if (seconds < 60)
        return QCoreApplication::translate("TransferText", "约 %1 秒").arg(seconds);
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return QCoreApplication::translate("TransferText", "约 %1 分钟").arg(minutes);
    if (minutes % 60 == 0)
        return QCoreApplication::translate("TransferText", "约 %1 小时").arg(minutes / 60);
    return QCoreApplication::translate("TransferText", "约 %1 小时 %2 分钟")
        .arg(minutes / 60)
        .arg(minutes % 60);
}

QString downloadTip(qint64 done, qint64 total, double bytesPerSecond)
{
    const QString soFar = QCoreApplication::translate("TransferText", "已下载 %1 / %2")
                              .arg(sizeText(done), sizeText(total));
    if (!(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond))
        return QCoreApplication::translate("TransferText", "%1\n剩余时间未知").arg(soFar);
    const qint64 left = std::max<qint64>(total - done, 0);
    const auto seconds = qint64(std::ceil(double(left) / bytesPerSecond));
    return QCoreApplication::translate("TransferText", "%1\n速度 %2/s，剩余%3")
        .arg(soFar, sizeText(qint64(bytesPerSecond)), durationText(seconds));
}

} // namespace tavrel
