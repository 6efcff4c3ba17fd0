// The library in the window: the record a download leaves, the marks on the list, and the row
// menu's three actions, with HOME and the user's data folder (where the trash lives) in a
// temporary folder.

#include "CatalogPages.h"
#include "FaultServer.h"
#include "LogCapture.h"
#include "MainHarness.h"
#include "PopupMenu.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "core/Library.h"
#include "progress/ProgressBar.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using Answer = Prompter::Answer;

namespace {

constexpr int timeoutMs = 15000;
const QString toolTitle = QStringLiteral("外挂 工具");
const QString removePrompt = QStringLiteral("是否确定删除已下载的文件? 软件标题：");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The window on screen over a temporary program folder, its list holding `rows`, downloading
// from a loopback server.
struct Rig : MainHarness
{
    explicit Rig(const QString &baseUrl) : MainHarness(Setup{baseUrl, nullptr, {}, {}, true})
    {
        window->Form_Load();
        window->show();
    }
    QString root() const { return services.libraryRoot; }
    CatalogModel *model() const { return window->listView()->catalogModel(); }
    QVariant titleCell(int row, int role) const { return model()->data(model()->index(row, 1), role); }
    QString markText(int row) const { return titleCell(row, Qt::AccessibleDescriptionRole).toString(); }
    // The list arriving from the server, as a click on "最新更新" brings it.
    void showList(const QList<QStringList> &rows)
    {
        fakeTransfer.reply(CatalogPages::page(rows, 1));
        ui().Command1->click();
    }
    void download(int row)
    {
        window->ListView_RowSelected(row);
        window->ListView_RowActivated();
        QTRY_VERIFY_WITH_TIMEOUT(window->progressBar()->isHidden(), timeoutMs);
    }
    // Opens row's menu with the Menu key and picks `choice`.
    PopupMenu choose(int row, const QString &choice)
    {
        CatalogList *list = window->listView();
        list->setCurrentIndex(list->model()->index(row, 1));
        return PopupMenu([list] { keyboardMenu(list); }, choice);
    }
    // What the desktop's platform sends for the Menu key.
    static void keyboardMenu(QWidget *list)
    {
        QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        QApplication::sendEvent(list, &event);
    }
};

QStringList tools()
{
    return {QStringLiteral("工具"), toolTitle, QStringLiteral("免费"),
            QStringLiteral("2024-05-01 10:00:00"), QStringLiteral("tool.zip"),
            QStringLiteral("7")};
}

QString adminphp(const FaultServer &server)
{
    return server.baseUrl() + QStringLiteral("adminphp/");
}

} // namespace

class TestLibrary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void downloadIsRecordedAndMarked();
    void damagedRecordIsIgnored();
    void menuOpens_data();
    void menuOpens();
    void removeDownloaded_data();
    void removeDownloaded();
    void downloadAgain();
    void removalStaysInTheLibrary_data();
    void removalStaysInTheLibrary();

private:
    QTemporaryDir m_home;
    QString m_dataHome;
};

void TestLibrary::initTestCase()
{
    Q_INIT_RESOURCE(window);
    QVERIFY(m_home.isValid());
    // Left missing on purpose: removal has to make it before anything goes to the trash.
    m_dataHome = m_home.filePath(QStringLiteral(".local/share"));
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome));
    QDir::setCurrent(m_home.path());
}

void TestLibrary::downloadIsRecordedAndMarked()
{
    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), FaultServer::ok("0123456789"));
    Rig rig(adminphp(server));
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QVERIFY(rig.titleCell(1, Qt::DecorationRole).isNull());
    QVERIFY(rig.markText(1).isEmpty());

    rig.download(1);
    // The record sits beside Res/, holds what the row said and what landed.
    const QString recordFile = rig.folder.filePath(QStringLiteral("library.json"));
    QVERIFY(QFileInfo::exists(recordFile));
    const tavrel::LibraryRecord record = tavrel::LibraryRecord::load(recordFile);
    QCOMPARE(record.entries().size(), 1);
    const tavrel::LibraryEntry &e = record.entries().front();
    QCOMPARE(e.server, adminphp(server));
    QCOMPARE(e.id, QStringLiteral("7"));
    QCOMPARE(e.title, toolTitle);
    QCOMPARE(e.fileName, QStringLiteral("tool.zip"));
    QCOMPARE(e.updated, QStringLiteral("2024-05-01 10:00:00"));
    QCOMPARE(e.size, 10);
    QVERIFY(e.downloadedAt.isValid());

    // Marked at once, on that row only; what a screen reader reads is what the tooltip says.
    QVERIFY(!rig.titleCell(1, Qt::DecorationRole).isNull());
    QVERIFY2(rig.markText(1).startsWith(QStringLiteral("已下载，文件与下载时一致")),
             qPrintable(rig.markText(1)));
    QCOMPARE(rig.titleCell(1, Qt::ToolTipRole).toString(), rig.markText(1));
    QVERIFY(rig.markText(0).isEmpty());
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(rig.window->listView());
    QVERIFY(table && table->tableInterface());
    QCOMPARE(table->tableInterface()->cellAt(1, 1)->text(QAccessible::Description),
             rig.markText(1));

    // A file replaced by hand is downloaded, no longer verified; a folder deleted by hand
    // loses its mark: both the next time the list is shown.
    writeFile(rig.root() + toolTitle + QStringLiteral("/tool.zip"), "other");
    QVERIFY(rig.markText(1).startsWith(QStringLiteral("已下载，文件与下载时一致")));
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QVERIFY2(rig.markText(1).contains(QStringLiteral("大小与下载时不同")),
             qPrintable(rig.markText(1)));
    QVERIFY(QDir(rig.root() + toolTitle).removeRecursively());
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QVERIFY(rig.markText(1).isEmpty());
    QVERIFY(rig.titleCell(1, Qt::DecorationRole).isNull());
    // Back from the file manager the window looks at the disk again too.
    writeFile(rig.root() + toolTitle + QStringLiteral("/tool.zip"), "0123456789");
    QApplication::setActiveWindow(nullptr);
    QApplication::setActiveWindow(rig.window.get());
    QTRY_VERIFY(rig.markText(1).startsWith(QStringLiteral("已下载，文件与下载时一致")));
}

void TestLibrary::damagedRecordIsIgnored()
{
    QTemporaryDir program;
    writeFile(program.filePath(QStringLiteral("library.json")), "{\"version\":1,\"items\":[");
    writeFile(program.filePath(QStringLiteral("Res/")) + toolTitle + QStringLiteral("/tool.zip"),
              "x");
    LogCapture log;
    MainHarness::Setup setup;
    setup.libraryRoot = program.filePath(QStringLiteral("Res/"));
    MainHarness h(setup);
    QVERIFY2(log.messages(QStringLiteral("tavrel.main"), QtWarningMsg)
                 .filter(QStringLiteral("library.json"))
                 .size() == 1,
             qPrintable(log.lines().join(u'\n')));
    h.window->Form_Load();
    h.list().replaceRows({tools()});
    const QString mark =
        h.list().catalogModel()->data(h.list().catalogModel()->index(0, 1),
                                      Qt::AccessibleDescriptionRole).toString();
    QCOMPARE(mark, QStringLiteral("已下载（没有下载记录，未经校验）"));
}

void TestLibrary::menuOpens_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("Menu key") << "menu key";
    QTest::newRow("Shift+F10") << "shift f10";
    QTest::newRow("right click") << "right click";
}

void TestLibrary::menuOpens()
{
    QFETCH(QString, how);
    Rig rig(QStringLiteral("http://catalog.test/adminphp/"));
    writeFile(rig.root() + toolTitle + QStringLiteral("/tool.zip"), "x");
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    CatalogList *list = rig.window->listView();
    list->setCurrentIndex(list->model()->index(1, 0));

    const PopupMenu menu(
        [&] {
            if (how == QLatin1String("menu key")) {
                Rig::keyboardMenu(list);
            } else if (how == QLatin1String("shift f10")) {
                QTest::keyClick(list, Qt::Key_F10, Qt::ShiftModifier);
            } else {
                // On the other row than the current one: the menu is the clicked row's.
                list->setCurrentIndex(list->model()->index(0, 0));
                const QPoint at = list->visualRect(list->model()->index(1, 1)).center();
                QContextMenuEvent event(QContextMenuEvent::Mouse, at,
                                        list->viewport()->mapToGlobal(at));
                QApplication::sendEvent(list->viewport(), &event);
            }
        },
        QStringLiteral("打开文件夹"));
    QVERIFY(menu.shown);
    QCOMPARE(menu.texts, (QStringList{QStringLiteral("打开文件夹"), QStringLiteral("删除已下载的文件"),
                                      QStringLiteral("重新下载")}));
    QCOMPARE(menu.enabled, menu.texts);
    QCOMPARE(menu.accessibleName, QStringLiteral("软件操作：") + toolTitle);
    QCOMPARE(rig.desktop.openedFolders, QStringList{rig.root() + toolTitle + QLatin1Char('/')});
    QCOMPARE(rig.window->selectedRow(), 1);

    // A row with nothing on disk offers only to download.
    const PopupMenu other = rig.choose(0, QStringLiteral("打开文件夹"));
    QCOMPARE(other.enabled, QStringList{QStringLiteral("重新下载")});
    QCOMPARE(rig.desktop.openedFolders.size(), 1);
}

void TestLibrary::removeDownloaded_data()
{
    QTest::addColumn<bool>("trash");           // the user's data folder can be made
    QTest::addColumn<QList<Answer>>("answers"); // to the question, and to the second one
    QTest::addColumn<int>("questions");
    QTest::addColumn<bool>("removed");

    QTest::newRow("yes: to the trash") << true << QList<Answer>{Answer::Yes} << 1 << true;
    QTest::newRow("no: nothing happens") << true << QList<Answer>{Answer::No} << 1 << false;
    QTest::newRow("no trash, yes again: for good")
        << false << QList<Answer>{Answer::Yes, Answer::Yes} << 2 << true;
    QTest::newRow("no trash, no the second time")
        << false << QList<Answer>{Answer::Yes, Answer::No} << 2 << false;
}

void TestLibrary::removeDownloaded()
{
    QFETCH(bool, trash);
    QFETCH(QList<Answer>, answers);
    QFETCH(int, questions);
    QFETCH(bool, removed);

    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), FaultServer::ok("0123456789"));
    Rig rig(adminphp(server));
    rig.showList({tools()});
    rig.download(0);
    QVERIFY(!rig.markText(0).isEmpty());

    // A data folder that cannot be made (a file is in the way) leaves no trash to use.
    QTemporaryDir blocked;
    writeFile(blocked.filePath(QStringLiteral("file")), "x");
    if (!trash)
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocked.filePath(QStringLiteral("file/data"))));
    const auto restore = qScopeGuard([this] {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome));
    });

    rig.prompter.answers.assign(answers.begin(), answers.end());
    rig.choose(0, QStringLiteral("删除已下载的文件"));
    QCOMPARE(rig.prompter.boxes.size(), questions);
    QCOMPARE(rig.prompter.boxes[0].text, removePrompt + toolTitle);
    QCOMPARE(rig.prompter.boxes[0].title, QStringLiteral("确认操作"));
    QCOMPARE(rig.prompter.boxes[0].buttons, Prompter::Buttons::YesNo);
    if (questions > 1)
        QVERIFY(rig.prompter.boxes[1].text.endsWith(removePrompt.mid(4) + toolTitle));

    const QString folder = rig.root() + toolTitle;
    QCOMPARE(QFileInfo::exists(folder), !removed);
    QCOMPARE(rig.markText(0).isEmpty(), removed);
    const tavrel::LibraryRecord record =
        tavrel::LibraryRecord::load(rig.folder.filePath(QStringLiteral("library.json")));
    QCOMPARE(record.entries().size(), removed ? 0 : 1);
    // Into the user's trash, never into the working folder.
    const QString trashed = m_dataHome + QStringLiteral("/Trash/files/") + toolTitle;
    QCOMPARE(readAll(trashed + QStringLiteral("/tool.zip")),
             trash && removed ? QByteArray("0123456789") : QByteArray());
    QVERIFY(!QFileInfo::exists(m_home.filePath(QStringLiteral("files"))));
    if (trash && removed)
        QVERIFY(QDir(trashed).removeRecursively());
}

void TestLibrary::downloadAgain()
{
    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), FaultServer::ok("old"));
    Rig rig(adminphp(server));
    rig.showList({tools()});
    rig.download(0);
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), FaultServer::ok("the new one"));

    rig.choose(0, QStringLiteral("重新下载"));
    QVERIFY(!rig.window->progressBar()->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(rig.window->progressBar()->isHidden(), timeoutMs);
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(readAll(rig.root() + toolTitle + QStringLiteral("/tool.zip")),
             QByteArray("the new one"));
    const tavrel::LibraryRecord record =
        tavrel::LibraryRecord::load(rig.folder.filePath(QStringLiteral("library.json")));
    QCOMPARE(record.entries().size(), 1);
    QCOMPARE(record.entries().front().size, 11);
    QVERIFY(rig.markText(0).startsWith(QStringLiteral("已下载，文件与下载时一致")));
}

void TestLibrary::removalStaysInTheLibrary_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("link");     // below the root, to the folder outside; "" for none
    QTest::addColumn<bool>("trash");
    QTest::addColumn<QStringList>("kept");  // below the root, after the removal
    QTest::addColumn<QStringList>("gone");
    QTest::addColumn<bool>("refused");

    for (const bool trash : {true, false}) {
        const char *how = trash ? "trash: " : "for good: ";
        QTest::addRow("%sa link inside the item's folder", how)
            << "Tool" << "Tool/inner" << trash << QStringList{} << QStringList{"Tool"} << false;
        QTest::addRow("%sa link as the item's folder", how)
            << "Linked" << "Linked" << trash << QStringList{} << QStringList{"Linked"} << false;
        QTest::addRow("%sa nested title: only its innermost folder", how)
            << "Games\\Cards" << "" << trash << QStringList{"Games/Chess/c.zip"}
            << QStringList{"Games/Cards"} << false;
        QTest::addRow("%sa link above a nested title", how)
            << "Up/Cards" << "Up" << trash << QStringList{"Up"} << QStringList{} << true;
    }
}

void TestLibrary::removalStaysInTheLibrary()
{
    QFETCH(QString, title);
    QFETCH(QString, link);
    QFETCH(bool, trash);
    QFETCH(QStringList, kept);
    QFETCH(QStringList, gone);
    QFETCH(bool, refused);

    QTemporaryDir outside;
    writeFile(outside.filePath(QStringLiteral("Cards/t.zip")), "not yours");
    writeFile(outside.filePath(QStringLiteral("keep.txt")), "not yours");
    writeFile(outside.filePath(QStringLiteral("t.zip")), "not yours");
    const QStringList outsideBefore = QDir(outside.path()).entryList(QDir::AllEntries);

    Rig rig(QStringLiteral("http://catalog.test/adminphp/"));
    const QString root = rig.root();
    QString itemFolder = QString(title).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (link.isEmpty() || link.contains(QLatin1Char('/'))) {
        writeFile(root + itemFolder + QStringLiteral("/t.zip"), "mine");
        writeFile(root + QStringLiteral("Games/Chess/c.zip"), "sibling");
    }
    QVERIFY(QDir().mkpath(root));
    if (!link.isEmpty())
        QVERIFY(QFile::link(outside.path(), root + link));

    QTemporaryDir blocked;
    writeFile(blocked.filePath(QStringLiteral("file")), "x");
    if (!trash)
        qputenv("XDG_DATA_HOME", QFile::encodeName(blocked.filePath(QStringLiteral("file/data"))));
    const auto restore = qScopeGuard([this] {
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome));
        QDir(m_dataHome + QStringLiteral("/Trash")).removeRecursively();
    });

    QStringList row = tools();
    row[1] = title;
    row[4] = QStringLiteral("t.zip");
    rig.showList({row});
    QVERIFY(!rig.markText(0).isEmpty());
    rig.choose(0, QStringLiteral("删除已下载的文件"));

    // Whatever happened inside the library, nothing outside it changed.
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries), outsideBefore);
    QCOMPARE(readAll(outside.filePath(QStringLiteral("Cards/t.zip"))), QByteArray("not yours"));
    QCOMPARE(readAll(outside.filePath(QStringLiteral("keep.txt"))), QByteArray("not yours"));
    QCOMPARE(readAll(outside.filePath(QStringLiteral("t.zip"))), QByteArray("not yours"));
    for (const QString &path : kept)
        QVERIFY2(QFileInfo(root + path).exists() || QFileInfo(root + path).isSymLink(),
                 qPrintable(path));
    for (const QString &path : gone)
        QVERIFY2(!QFileInfo(root + path).exists() && !QFileInfo(root + path).isSymLink(),
                 qPrintable(path));
    QCOMPARE(rig.prompter.boxes.size(), (refused || trash) ? (refused ? 2 : 1) : 2);
    if (refused)
        QVERIFY2(rig.prompter.boxes.last().text.contains(QStringLiteral("符号链接")),
                 qPrintable(rig.prompter.boxes.last().text));
    else
        QVERIFY(rig.markText(0).isEmpty());
}

QTEST_MAIN(TestLibrary)
#include "tst_library.moc"
