#include "DemoCatalogue.h"

#include "Catalog.h"

#include "core/Sha256.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

namespace {

struct DemoItem
{
    const char *category;
    const char *title;
    const char *licence;
    const char *fileName;
    qint64 size;
};

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;

// Newest first within each group. Titles mix Chinese and ASCII; one holds a backslash, which
// the client turns into nested folders.
const DemoItem AdminItems[] = {
    {"工具", "工具\\补丁", "免费", "tool-patch.zip", 300 * KiB},
    {"工具", "文本编辑器 增强版", "免费", "text-editor.zip", 50 * MiB},
    {"Utilities", "Easy Backup 2.1", "Freeware", "easy-backup-2.1.zip", 5 * MiB},
    {"补丁", "系统补丁合集 2024", "免费", "系统补丁合集.zip", 20 * MiB},
    {"插件", "浏览器广告过滤插件", "开源", "ad-filter.zip", 1 * MiB},
    {"皮肤", "经典蓝色皮肤", "免费", "skin-blue.she", 37 * KiB},
    {"Games", "Minesweeper Deluxe", "Shareware", "minesweeper-deluxe.zip", 2 * MiB},
    {"工具", "截图小助手", "共享", "screenshot-helper.zip", 180 * KiB},
    {"Utilities", "Disk Space Viewer", "GPL", "disk-space-viewer.zip", 640 * KiB},
    {"插件", "输入法词库扩展", "免费", "ime-dictionary.dat", 3 * MiB},
    {"补丁", "Font Rendering Fix", "Freeware", "font-fix.zip", 12 * KiB},
    {"工具", "批量重命名工具", "免费", "batch-rename.zip", 96 * KiB},
    {"皮肤", "Dark Night Skin", "Freeware", "skin-dark-night.she", 41 * KiB},
    {"Games", "俄罗斯方块 怀旧版", "免费", "tetris-classic.zip", 1500 * KiB},
    {"工具", "Clipboard History", "MIT", "clipboard-history.zip", 220 * KiB},
    {"插件", "音乐播放器歌词插件", "共享", "lyrics-plugin.zip", 75 * KiB},
    {"补丁", "网络修复工具", "免费", "network-repair.zip", 410 * KiB},
    {"Utilities", "Hash Checker", "BSD", "hash-checker.zip", 33 * KiB},
    {"工具", "压缩解压助手", "免费", "zip-helper.zip", 800 * KiB},
    {"皮肤", "中国红 皮肤包", "免费", "skin-china-red.she", 52 * KiB},
    {"Games", "Chess Trainer", "GPL", "chess-trainer.zip", 4 * MiB},
    {"工具", "系统信息查看器", "共享", "sysinfo.zip", 150 * KiB},
    {"插件", "PDF Export Plugin", "Freeware", "pdf-export.zip", 260 * KiB},
    {"补丁", "旧版兼容补丁", "免费", "compat-patch.zip", 8 * KiB},
    {"Utilities", "Read Me First", "Public domain", "read me.txt", 12},
    {"工具", "定时关机", "免费", "shutdown-timer.zip", 20 * KiB},
    {"皮肤", "Pastel Skin", "CC-BY", "skin-pastel.she", 29 * KiB},
    {"Games", "五子棋大师", "免费", "gomoku-master.zip", 700 * KiB},
    {"工具", "Tiny Notes", "MIT", "tiny-notes.txt", 5},
    {"插件", "右键菜单增强", "共享", "context-menu.zip", 130 * KiB},
};

const DemoItem UserItems[] = {
    {"工具", "网友推荐：万能格式转换", "免费", "format-converter.zip", 2 * MiB},
    {"Games", "Space Invaders Remake", "Freeware", "space-invaders.zip", 10 * MiB},
    {"插件", "表情包管理插件", "免费", "sticker-manager.zip", 90 * KiB},
    {"皮肤", "水墨风格皮肤", "免费", "skin-ink.she", 46 * KiB},
    {"工具", "Port Scanner Lite", "GPL", "port-scanner-lite.zip", 350 * KiB},
    {"补丁", "声卡驱动补丁", "免费", "sound-driver-patch.zip", 600 * KiB},
    {"Utilities", "Battery Monitor", "Freeware", "battery-monitor.zip", 120 * KiB},
    {"工具", "文件夹同步器", "共享", "folder-sync.zip", 1200 * KiB},
    {"Games", "围棋入门", "免费", "go-beginner.zip", 3 * MiB},
    {"插件", "Markdown Preview", "MIT", "markdown-preview.zip", 64 * KiB},
    {"皮肤", "Retro Green Skin", "Freeware", "skin-retro-green.she", 38 * KiB},
    {"工具", "图片批量压缩", "免费", "image-compress.zip", 450 * KiB},
    {"补丁", "USB 识别修复", "免费", "usb-fix.zip", 16 * KiB},
    {"Utilities", "Uptime Counter", "Public domain", "uptime.txt", 42},
    {"工具", "密码生成器", "开源", "password-generator.zip", 48 * KiB},
    {"Games", "Snake 3D", "Freeware", "snake-3d.zip", 5 * MiB},
    {"插件", "网页翻译插件", "免费", "page-translate.zip", 210 * KiB},
    {"皮肤", "樱花粉皮肤", "免费", "skin-sakura.she", 50 * KiB},
    {"工具", "Hex Viewer", "BSD", "hex-viewer.zip", 140 * KiB},
    {"补丁", "中文字体补丁", "免费", "chinese-font-patch.zip", 7 * MiB},
    {"Utilities", "Cron Helper", "MIT", "cron-helper.zip", 27 * KiB},
    {"工具", "局域网聊天", "共享", "lan-chat.zip", 330 * KiB},
    {"Games", "扫雷 经典版", "免费", "minesweeper-classic.zip", 250 * KiB},
    {"插件", "Spell Checker", "GPL", "spell-checker.zip", 900 * KiB},
    {"皮肤", "极简白皮肤", "免费", "skin-minimal-white.she", 22 * KiB},
    {"工具", "记事本增强", "免费", "notepad-plus.zip", 3},
};

const DemoItem PendingItems[] = {
    {"工具", "待审核：内存清理", "免费", "memory-cleaner.zip", 280 * KiB},
    {"Games", "Pending Pinball", "Freeware", "pinball.zip", 1 * MiB},
    {"插件", "待审核：天气插件", "共享", "weather-plugin.zip", 70 * KiB},
    {"补丁", "Unchecked Patch", "Freeware", "unchecked-patch.zip", 9 * KiB},
};

// File bodies: varied bytes so that nothing along the way can shrink them. Hashed as they are
// written, like an upload.
bool writeFile(const QString &path, qint64 size, QByteArray *sha256)
{
    tavrel::Sha256 hash;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(qMin<qint64>(size, MiB), Qt::Uninitialized);
    quint32 state = quint32(size) * 2654435761u + 1;
    qint64 left = size;
    while (left > 0) {
        for (char &c : block) {
            state = state * 1664525u + 1013904223u;
            c = char(state >> 24);
        }
        const qint64 n = qMin<qint64>(left, block.size());
        if (file.write(block.constData(), n) != n)
            return false;
        hash.add(QByteArrayView(block).first(n));
        left -= n;
    }
    *sha256 = hash.result();
    return file.flush();
}

} // namespace

bool fillDemoCatalogue(Catalog *catalog, const QString &upDir, qint64 maxFileSize, QString *error)
{
    const StoreResult<qint64> count = catalog->itemCount();
    if (!count) {
        *error = count.error();
        return false;
    }
    if (*count != 0)
        return true;
    // Oldest first, so that ids grow with the update time like real uploads.
    QDateTime time(QDate(2024, 3, 1), QTime(9, 0, 0));
    auto add = [&](const DemoItem &d, bool fromAdmin, bool approved) {
        const QString path = QDir(upDir).filePath(QString::fromUtf8(d.fileName));
        QByteArray sha256;
        if (!writeFile(path, qMin(d.size, maxFileSize), &sha256)) {
            *error = QStringLiteral("cannot write %1").arg(path);
            return false;
        }
        Catalog::NewItem item;
        item.fromAdmin = fromAdmin;
        item.approved = approved;
        item.category = QString::fromUtf8(d.category);
        item.title = QString::fromUtf8(d.title);
        item.licence = QString::fromUtf8(d.licence);
        item.fileName = QString::fromUtf8(d.fileName);
        item.updated = time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        time = time.addSecs(7 * 3600 + 13 * 60);
        if (const StoreResult<qint64> added = catalog->addItem(item, sha256); !added) {
            *error = added.error();
            return false;
        }
        return true;
    };
    // Interleave the lists in time, so that "all items" mixes them.
    const int adminCount = int(std::size(AdminItems));
    const int userCount = int(std::size(UserItems));
    for (int i = qMax(adminCount, userCount) - 1; i >= 0; --i) {
        if (i < adminCount && !add(AdminItems[i], true, true))
            return false;
        if (i < userCount && !add(UserItems[i], false, true))
            return false;
    }
    for (int i = int(std::size(PendingItems)) - 1; i >= 0; --i) {
        if (!add(PendingItems[i], false, false))
            return false;
    }
    return true;
}
