// The window's side of the library: what a row's menu offers for its item (open the folder,
// remove the download, download again) and the marks that follow the disk.

#include "Main.h"

#include "client/platform/CatalogList.h"
#include "core/Encoding.h"
#include "core/ItemPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QMenu>

Q_DECLARE_LOGGING_CATEGORY(lcMain)

namespace {

constexpr int titleColumn = 1;
constexpr int updatedColumn = 3;
constexpr int fileNameColumn = 4;
constexpr int idColumn = 5;

} // namespace

tavrel::RowItem Main::rowItem(int row) const
{
    auto cell = [&](int column) { return tavrel::trimBlanks(m_list->cell(row, column)); };
    return {m_session.baseUrl(), cell(idColumn), cell(titleColumn), cell(fileNameColumn),
            cell(updatedColumn)};
}

void Main::refreshMarks()
{
    m_library.refresh();
    m_list->refreshMarks();
}

void Main::ListView_RowMenu(int row, const QPoint &globalPos)
{
    const tavrel::RowItem item = rowItem(row);
    const auto target = tavrel::itemTarget(m_services.libraryRoot, item.title, item.fileName);
    const QFileInfo folder(target ? target->folder : QString());
    const bool onDisk = target && (folder.isDir() || folder.isSymLink());
    // The folder of an item without a title is the library itself: never removed whole.
    const bool ownFolder =
        target && QDir::cleanPath(target->folder) != QDir::cleanPath(m_services.libraryRoot);
    // The running download writes beside its file until it is whole.
    const bool downloading =
        target && !m_currentSaveFile.isEmpty() && m_currentSaveFile.startsWith(target->folder);

    QMenu menu(this);
    menu.setTitle(tr("软件操作"));
    menu.setAccessibleName(item.title.isEmpty() ? tr("软件操作")
                                                : tr("软件操作：%1").arg(item.title));
    QAction *open = menu.addAction(tr("打开文件夹"));
    open->setEnabled(onDisk);
    QAction *remove = menu.addAction(tr("删除已下载的文件"));
    remove->setEnabled(onDisk && ownFolder && !downloading);
    QAction *again = menu.addAction(tr("重新下载"));
    again->setEnabled(!item.fileName.isEmpty());
    QAction *chosen = menu.exec(globalPos);
    if (chosen == open)
        openItemFolder(row);
    else if (chosen == remove)
        removeDownloaded(row);
    else if (chosen == again)
        downloadAgain(row);
}

void Main::openItemFolder(int row)
{
    const tavrel::RowItem item = rowItem(row);
    if (const auto target = tavrel::itemTarget(m_services.libraryRoot, item.title, item.fileName))
        m_services.desktop->openFolder(target->folder);
}

void Main::removeDownloaded(int row)
{
    const tavrel::RowItem item = rowItem(row);
    const auto target = tavrel::itemTarget(m_services.libraryRoot, item.title, item.fileName);
    if (!target)
        return;
    // The title's innermost folder: what the download made for this item, nothing above it.
    const QString folder = QDir::cleanPath(target->folder);
    if (folder == QDir::cleanPath(m_services.libraryRoot))
        return;
    if (m_services.prompter->ask(tr("是否确定删除已下载的文件? 软件标题：") + item.title,
                                 tr("确认操作"), Prompter::Buttons::YesNo) != Prompter::Answer::Yes)
        return;
    if (const QString refusal = m_library.removalRefusal(folder); !refusal.isEmpty()) {
        qCWarning(lcMain).noquote() << "removal refused:" << refusal;
        inform(refusal, tr("提示"));
        return;
    }

    QString why;
    ItemLibrary::Removal removal = m_library.moveToTrash(folder, &why);
    if (removal == ItemLibrary::Removal::NoTrash) {
        qCInfo(lcMain).noquote() << "no trash for" << folder << ":" << why;
        if (m_services.prompter->ask(
                tr("无法移到回收站（%1）。是否永久删除已下载的文件? 软件标题：").arg(why) +
                    item.title,
                tr("确认操作"), Prompter::Buttons::YesNo) != Prompter::Answer::Yes)
            return;
        removal = m_library.removeForGood(folder, &why);
    }
    m_library.forgetFolder(folder);
    refreshMarks();
    if (removal == ItemLibrary::Removal::Failed) {
        qCWarning(lcMain).noquote() << "removal of" << folder << "incomplete:" << why;
        inform(tr("“%1”没有完全删除：%2。").arg(QDir::toNativeSeparators(folder), why), tr("提示"));
    }
}

void Main::downloadAgain(int row)
{
    // As a double-click on the row would: the copy on disk stays until the new one is whole.
    ListView_RowSelected(row);
    ListView_RowActivated();
}
