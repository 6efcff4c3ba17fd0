// The window's side of downloading an item: from an activated row to a file in the item's
// folder, with the progress bar as the busy flag, and the two desktop buttons.

#include "Main.h"

#include "ui_Main.h"

#include "client/platform/CatalogList.h"
#include "core/Encoding.h"
#include "core/ItemPaths.h"
#include "core/Rounding.h"
#include "core/TransferText.h"
#include "download/Downloader.h"
#include "progress/ProgressBar.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>

Q_DECLARE_LOGGING_CATEGORY(lcMain)

namespace {

constexpr int titleColumn = 1;
constexpr int fileNameColumn = 4;

// Desktop::makePath only says no; look at the path to tell the user why.
QString cannotMakeFolder(const QString &folder)
{
    QString reason = Main::tr("没有写入权限或名称无效");
    QString path = QDir::cleanPath(folder);
    for (;;) {
        const QFileInfo info(path);
        if (info.exists()) {
            if (!info.isDir())
                reason = Main::tr("“%1”已是一个文件").arg(QDir::toNativeSeparators(path));
            break;
        }
        const QString parent = info.path();
        if (parent == path)
            break;
        path = parent;
    }
    return Main::tr("无法创建文件夹“%1”：%2。").arg(QDir::toNativeSeparators(folder), reason);
}

} // namespace

void Main::ListView_RowSelected(int row)
{
    SelectedRow = row;
}

QString Main::readCellThroughBuffer(int column)
{
    ui->HaunCun_Text->setText(tavrel::trimBlanks(m_list->cell(SelectedRow, column)));
    return ui->HaunCun_Text->text();
}

void Main::ListView_RowActivated()
{
    const QString fileName = readCellThroughBuffer(fileNameColumn);
    const QString title = readCellThroughBuffer(titleColumn);
    if (fileName.isEmpty())
        return;
    // The bar on show is the busy flag: one download at a time.
    if (!ui->ProgressBar1->isHidden()) {
        inform(tr("无法多任务下载!"), tr("提示"));
        return;
    }

    // Both names come from the server: refuse anything that could write outside the library.
    QString refusal;
    const std::optional<tavrel::ItemTarget> target =
        tavrel::itemTarget(m_services.libraryRoot, title, fileName, &refusal);
    if (!target) {
        refuseDownload(refusal);
        return;
    }
    // A link planted in the library would send the file outside it.
    if (const QString link = linkRefusal(target->saveFile); !link.isEmpty()) {
        refuseDownload(link);
        return;
    }
    if (!m_services.desktop->makePath(target->fileFolder)) {
        refuseDownload(cannotMakeFolder(target->fileFolder));
        return;
    }

    DownloadUrl = m_session.itemUrl(fileName);
    DownloadFolder = target->folder;
    m_currentSaveFile = target->saveFile;
    m_currentItem = title.isEmpty() ? fileName : title;
    const tavrel::RowItem item = rowItem(SelectedRow);
    m_currentEntry = {item.server, item.id, title, fileName, item.updated, 0, {}, {}};
    ui->ProgressBar1->setVisible(true);
    ui->ProgressBar1->setValue(0);

    // A start the control refuses raises no event ever; it has shown its own box.
    if (!Downloader1->BeginDownload(DownloadUrl, m_currentSaveFile))
        endDownload();
}

void Main::refuseDownload(const QString &why)
{
    // The reason names the item with its control characters made visible: one line per event.
    qCWarning(lcMain).noquote() << "download refused:" << why;
    inform(why, tr("提示"));
}

void Main::endDownload()
{
    ui->ProgressBar1->setVisible(false);
    ui->ProgressBar1->setToolTip(QString());
    m_currentSaveFile.clear();
    m_currentItem.clear();
    m_currentEntry = {};
    m_downloadFirstBytes = -1;
    m_lastTipAt = -1;
}

QString Main::linkRefusal(const QString &saveFile) const
{
    const std::optional<QString> link = tavrel::linkInside(m_services.libraryRoot, saveFile);
    if (!link)
        return {};
    return tr("“%1”是一个符号链接，文件不会写到它所指的地方。")
        .arg(QDir::toNativeSeparators(*link));
}

void Main::askCancelDownload()
{
    if (m_currentSaveFile.isEmpty())
        return; // nothing runs
    if (m_services.prompter->ask(tr("是否取消下载?"), tr("确认操作"), Prompter::Buttons::YesNo) !=
        Prompter::Answer::Yes)
        return;
    qCInfo(lcMain).noquote() << "download of" << tavrel::visibleName(m_currentItem)
                             << "cancelled by the user";
    // Nothing is left half-written: the staging file goes, an older copy stays as it was.
    Downloader1->CancelAllDownload();
    endDownload();
}

void Main::updateProgressTip(qint64 CurBytes, qint64 MaxBytes)
{
    if (m_downloadFirstBytes < 0) {
        m_downloadFirstBytes = CurBytes;
        m_downloadClock.start();
    }
    // At most four times a second: a fast download reports far more often than anyone reads.
    const qint64 now = m_downloadClock.elapsed();
    if (m_lastTipAt >= 0 && now - m_lastTipAt < 250 && CurBytes < MaxBytes)
        return;
    m_lastTipAt = now;
    const double seconds = std::max<qint64>(now, 1) / 1000.0;
    const double bytesPerSecond = std::max<qint64>(CurBytes - m_downloadFirstBytes, 0) / seconds;
    ui->ProgressBar1->setToolTip(tavrel::downloadTip(CurBytes, MaxBytes, bytesPerSecond));
}

void Main::Downloader1_DownloadProgress(qint64 CurBytes, qint64 MaxBytes, const QString &SaveFile)
{
    // Only the fetch the bar stands for moves it; an earlier one still finishing does not.
    if (m_currentSaveFile.isEmpty() || SaveFile != m_currentSaveFile || MaxBytes <= 0)
        return;
    const double percent = tavrel::roundHalfEven(static_cast<double>(CurBytes) /
                                                 static_cast<double>(MaxBytes) * 100.0);
    // A server that sends more than it announced must not push the bar past its end.
    ui->ProgressBar1->setValue(static_cast<int>(std::clamp(percent, 0.0, 100.0)));
    updateProgressTip(CurBytes, MaxBytes);
}

void Main::Downloader1_DownloadComplete(qint64 MaxBytes, const QString &SaveFile)
{
    qCDebug(lcMain) << "Download complete" << SaveFile << MaxBytes;
    if (m_currentSaveFile.isEmpty() || SaveFile != m_currentSaveFile)
        return;
    // The control raises this only once the file is in place, so the folder shows it.
    tavrel::LibraryEntry entry = m_currentEntry;
    entry.size = QFileInfo(SaveFile).size();
    entry.downloadedAt = QDateTime::currentDateTime();
    // The SHA-256 the file was checked against, when its server published one.
    const QByteArray digest = Downloader1->verifiedDigest(SaveFile);
    if (!digest.isEmpty())
        entry.digest = QStringLiteral("sha256:") + QString::fromLatin1(digest.toHex());
    m_library.recordDownload(std::move(entry));
    refreshMarks();
    endDownload();
    m_services.desktop->openFolder(DownloadFolder);
}

void Main::Downloader1_DownloadError(const QString &SaveFile, const QString &Reason)
{
    qCDebug(lcMain).noquote() << "Error downloading " + SaveFile << Reason;
    if (m_currentSaveFile.isEmpty() || SaveFile != m_currentSaveFile)
        return;
    const QString item = m_currentItem;
    endDownload(); // before the box: a modal box lets other events in
    // A file unlike the one published is told as it is, in the control's own words.
    if (Reason == Downloader::verificationFailedText())
        inform(Reason, tr("提示"));
    else
        inform(tr("“%1”下载失败：%2").arg(tavrel::visibleName(item), Reason), tr("提示"));
}

void Main::Downloader1_DownloadAllComplete(const QStringList &FileNotDownload)
{
    qCDebug(lcMain) << "Finished all download";
    // Entry 0 is the control's empty placeholder.
    for (qsizetype i = 1; i < FileNotDownload.size(); ++i)
        qCDebug(lcMain).noquote() << "File not downloaded: " + FileNotDownload.at(i);
}

void Main::Command3_Click()
{
    // Made first, so a new user sees an empty library instead of an error.
    const QString root = m_services.libraryRoot;
    if (!m_services.desktop->makePath(root)) {
        const QString why = cannotMakeFolder(root);
        qCWarning(lcMain).noquote() << "library folder not opened:" << why;
        inform(why, tr("提示"));
        return;
    }
    m_services.desktop->openFolder(root);
}

void Main::Command4_Click()
{
    m_services.desktop->openUrl(m_session.uploadPageUrl());
}
