#pragma once

#include <QString>

// The words the program shows about a download on its way.
namespace tavrel {

// A size in bytes as people read it: "950 B", "12.5 KB", "3.0 MB", "1.2 GB" (1 KB = 1024 B).
QString sizeText(qint64 bytes);

// A time still to wait, rounded up: "约 8 秒", "约 3 分钟", "约 1 小时", "约 2 小时 5 分钟".
QString durationText(qint64 seconds);

// The progress bar's tooltip: bytes so far of the total, the speed and the time left, e.g.
// "已下载 1.5 MB / 20.0 MB\n速度 350.0 KB/s，剩余约 54 秒". Without a speed yet, the time left
// is unknown.
QString downloadTip(qint64 done, qint64 total, double bytesPerSecond);

} // namespace tavrel
