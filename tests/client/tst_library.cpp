// The library in the window: the record a download leaves, the marks on the list, and the row
// menu's three actions, with HOME and the user's data folder (where the trash lives) in a
// temporary folder.

#include "CatalogPages.h"
#include "FaultServer.h"
#include "FileTree.h"
#include "LogCapture.h"
#include "MainHarness.h"
#include "PopupMenu.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "core/Digest.h"
#include "core/Library.h"
#include "core/Sha256.h"
#include "progress/ProgressBar.h"

#include <QAccessible>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using Answer = Prompter::Answer;

namespace {

constexpr int timeoutMs = 15000;
const QString toolTitle = QStringLiteral("外挂 工具");
const QString removePrompt = QStringLiteral("是否确定删除已下载的文件? 软件标题：");

// The window on screen over a temporary program folder (or the given library), downloading
// from a loopback server.
struct Rig : MainHarness
{
    explicit Rig(const QString &baseUrl, const QString &libraryRoot = {})
        : MainHarness(Setup{baseUrl, nullptr, {}, libraryRoot, true})
    {
        window->Form_Load();
        window->show();
    }
    QString root() const { return services.libraryRoot; }
    CatalogModel *model() const { return window->listView()->catalogModel(); }
    QVariant titleCell(int row, int role) const
    {
        return model()->data(model()->index(row, 1), role);
    }
    QString markText(int row) const
    {
        return titleCell(row, Qt::AccessibleDescriptionRole).toString();
    }
    tavrel::LibraryRecord record() const
    {
        return tavrel::LibraryRecord::load(tavrel::LibraryRecord::fileFor(root()));
    }
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

// No trash to use: the user's data folder cannot be made, a file is in its way.
struct NoTrash
{
    QTemporaryDir dir;
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    NoTrash()
    {
        FileTree::write(dir.filePath(QStringLiteral("file")), "x");
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("file/data"))));
    }
    ~NoTrash() { qputenv("XDG_DATA_HOME", dataHome); }
};

QStringList tools()
{
    return {QStringLiteral("工具"),     toolTitle,
            QStringLiteral("免费"),     QStringLiteral("2024-05-01 10:00:00"),
            QStringLiteral("tool.zip"), QStringLiteral("7")};
}

} // namespace

class TestLibrary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { QDir(m_dataHome + QStringLiteral("/Trash")).removeRecursively(); }
    void downloadIsRecordedAndMarked();
    void menuOpens_data();
    void menuOpens();
    void downloadAgain();
    void removeDownloaded_data();
    void removeDownloaded();

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
    FaultServer::Reply published = FaultServer::ok("0123456789");
    published.headers.append(
        {"Repr-Digest", tavrel::reprDigestField(tavrel::Sha256::of(published.body))});
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), published);
    // A damaged record is set aside: the file on disk alone marks its row.
    QTemporaryDir program;
    FileTree::write(program.filePath(QStringLiteral("library.json")), "{\"version\":1,\"items\":[");
    FileTree::write(
        program.filePath(QStringLiteral("Res/")) + toolTitle + QStringLiteral("/tool.zip"), "x");
    LogCapture log;
    Rig rig(server.adminphp(), program.filePath(QStringLiteral("Res/")));
    QCOMPARE(log.messages(QStringLiteral("tavrel.main"), QtWarningMsg)
                 .filter(QStringLiteral("library.json"))
                 .size(),
             1);
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QCOMPARE(rig.markText(1), QStringLiteral("已下载（没有下载记录，未经校验）"));
    QVERIFY(rig.titleCell(0, Qt::DecorationRole).isNull());
    QVERIFY(rig.markText(0).isEmpty());

    // The download writes the record anew, beside Res/, with what the row said and what landed.
    rig.download(1);
    const tavrel::LibraryRecord record = rig.record();
    QCOMPARE(record.entries().size(), 1);
    const tavrel::LibraryEntry &e = record.entries().front();
    QCOMPARE(QStringList({e.server, e.id, e.title, e.fileName, e.updated}),
             QStringList({server.adminphp(), "7", toolTitle, "tool.zip", "2024-05-01 10:00:00"}));
    QCOMPARE(e.size, 10);
    QCOMPARE(e.digest, "sha256:" + QString::fromLatin1(tavrel::Sha256::of(published.body).toHex()));
    QVERIFY(e.downloadedAt.isValid());

    // Marked at once; a screen reader reads what the tooltip says.
    QVERIFY(!rig.titleCell(1, Qt::DecorationRole).isNull());
    QCOMPARE(rig.markText(1), QStringLiteral("已下载，文件与下载时一致（下载时已校验）"));
    QCOMPARE(rig.titleCell(1, Qt::ToolTipRole).toString(), rig.markText(1));
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(rig.window->listView());
    QVERIFY(table && table->tableInterface());
    QCOMPARE(table->tableInterface()->cellAt(1, 1)->text(QAccessible::Description),
             rig.markText(1));

    // A file replaced by hand is no longer verified, a folder deleted by hand loses its mark:
    // the next time the list is shown.
    FileTree::write(rig.root() + toolTitle + QStringLiteral("/tool.zip"), "other");
    QVERIFY(rig.markText(1).startsWith(QStringLiteral("已下载，文件与下载时一致")));
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QCOMPARE(rig.markText(1), QStringLiteral("已下载，但文件大小与下载时不同，未经校验"));
    QVERIFY(QDir(rig.root() + toolTitle).removeRecursively());
    rig.showList({CatalogPages::item(3, QStringLiteral("别的")), tools()});
    QVERIFY(rig.markText(1).isEmpty());
    QVERIFY(rig.titleCell(1, Qt::DecorationRole).isNull());
    // Back from the file manager the window looks at the disk again too.
    FileTree::write(rig.root() + toolTitle + QStringLiteral("/tool.zip"), "0123456789");
    QApplication::setActiveWindow(nullptr);
    QApplication::setActiveWindow(rig.window.get());
    QTRY_VERIFY(rig.markText(1).startsWith(QStringLiteral("已下载，文件与下载时一致")));
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
    FileTree::write(rig.root() + toolTitle + QStringLiteral("/tool.zip"), "x");
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
    QCOMPARE(menu.texts,
             (QStringList{QStringLiteral("打开文件夹"), QStringLiteral("删除已下载的文件"),
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

void TestLibrary::downloadAgain()
{
    FaultServer server;
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), FaultServer::ok("old"));
    Rig rig(server.adminphp());
    rig.showList({tools()});
    rig.download(0);
    server.setReply(QStringLiteral("/adminphp/up/tool.zip"), FaultServer::ok("the new one"));

    rig.choose(0, QStringLiteral("重新下载"));
    QVERIFY(!rig.window->progressBar()->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(rig.window->progressBar()->isHidden(), timeoutMs);
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(FileTree::readAll(rig.root() + toolTitle + QStringLiteral("/tool.zip")),
             QByteArray("the new one"));
    QCOMPARE(rig.record().entries().size(), 1);
    QCOMPARE(rig.record().entries().front().size, 11);
    QCOMPARE(rig.markText(0), QStringLiteral("已下载，文件与下载时一致"));
}

void TestLibrary::removeDownloaded_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("link");          // below the root, to a folder outside; or ""
    QTest::addColumn<bool>("trash");            // the user's data folder can be made
    QTest::addColumn<QList<Answer>>("answers"); // to the question, and to the second one
    QTest::addColumn<QStringList>("left");      // below the root afterwards
    QTest::addColumn<int>("boxes");
    QTest::addColumn<bool>("refused");

    const QList<Answer> yes{Answer::Yes, Answer::Yes};
    const QStringList tool{"Tool", "Tool/t.zip"};
    // Tool in its own folder, no link about.
    const auto plain = [](const char *name, bool trash, const QList<Answer> &answers,
                          const QStringList &left, int boxes) {
        QTest::newRow(name) << "Tool"
                            << "" << trash << answers << left << boxes << false;
    };
    plain("yes: to the trash", true, yes, {}, 1);
    plain("no: nothing happens", true, {Answer::No}, tool, 1);
    plain("no trash, yes again: for good", false, yes, {}, 2);
    plain("no trash, no the second time", false, {Answer::Yes, Answer::No}, tool, 2);
    // Removal never leaves the library.
    for (const bool trash : {true, false}) {
        const char *how = trash ? "trash: " : "for good: ";
        const int boxes = trash ? 1 : 2;
        QTest::addRow("%sa link inside the item's folder", how)
            << "Tool"
            << "Tool/inner" << trash << yes << QStringList{} << boxes << false;
        QTest::addRow("%sa link as the item's folder", how)
            << "Linked"
            << "Linked" << trash << yes << QStringList{} << boxes << false;
        QTest::addRow("%sa nested title: only its innermost folder", how)
            << "Games\\Cards"
            << "" << trash << yes << QStringList{"Games", "Games/Chess", "Games/Chess/c.zip"}
            << boxes << false;
        QTest::addRow("%sa link above a nested title", how)
            << "Up/Cards"
            << "Up" << trash << yes << QStringList{"Up"} << 2 << true;
    }
}

void TestLibrary::removeDownloaded()
{
    QFETCH(QString, title);
    QFETCH(QString, link);
    QFETCH(bool, trash);
    QFETCH(QList<Answer>, answers);
    QFETCH(QStringList, left);
    QFETCH(int, boxes);
    QFETCH(bool, refused);

    QTemporaryDir outside;
    for (const char *file : {"t.zip", "Cards/t.zip", "keep.txt"})
        FileTree::write(outside.filePath(QString::fromUtf8(file)), "not yours");
    const QStringList before = FileTree::snapshot(outside.path(), true);

    // The item downloaded earlier: its file, its folder's neighbours, and its record.
    QTemporaryDir program;
    const QString root = program.filePath(QStringLiteral("Res/"));
    const QString folder = root + QString(title).replace(u'\\', u'/');
    QVERIFY(QDir().mkpath(root));
    if (link.isEmpty() || link.contains(u'/')) {
        FileTree::write(folder + "/t.zip", "mine");
        if (link.isEmpty() && title != QLatin1String("Tool"))
            FileTree::write(root + QStringLiteral("Games/Chess/c.zip"), "sibling");
    }
    if (!link.isEmpty())
        QVERIFY(QFile::link(outside.path(), root + link));
    const QString server = QStringLiteral("http://catalog.test/adminphp/");
    tavrel::LibraryRecord record;
    record.put({server, "7", title, "t.zip", "2024-05-01 10:00:00", 4, {}, {}});
    QVERIFY(record.save(tavrel::LibraryRecord::fileFor(root)));
    std::optional<NoTrash> noTrash;
    if (!trash)
        noTrash.emplace();

    Rig rig(server, root);
    QStringList row = tools();
    row[1] = title;
    row[4] = QStringLiteral("t.zip");
    rig.showList({row});
    QVERIFY(!rig.markText(0).isEmpty());
    rig.prompter.answers.assign(answers.begin(), answers.end());
    rig.choose(0, QStringLiteral("删除已下载的文件"));

    // Asked first; then the refusal, or (without a trash) asked again.
    QCOMPARE(rig.prompter.boxes.size(), boxes);
    QCOMPARE(rig.prompter.boxes[0].text, removePrompt + title);
    QCOMPARE(rig.prompter.boxes[0].title, QStringLiteral("确认操作"));
    QCOMPARE(rig.prompter.boxes[0].buttons, Prompter::Buttons::YesNo);
    QCOMPARE(rig.prompter.boxes.last().text.contains(QStringLiteral("符号链接")), refused);
    if (!trash && !refused)
        QVERIFY(rig.prompter.boxes[1].text.endsWith(removePrompt.mid(4) + title));

    // Whatever happened inside the library, nothing outside it changed.
    QCOMPARE(FileTree::snapshot(outside.path(), true), before);
    QCOMPARE(FileTree::snapshot(root), left);
    const bool removed = !QFileInfo(folder).exists() && !QFileInfo(folder).isSymLink();
    QCOMPARE(rig.markText(0).isEmpty(), removed);
    QCOMPARE(rig.record().entries().size(), removed ? 0 : 1);
    // Into the user's trash, never into the working folder.
    const QFileInfo trashed(m_dataHome + "/Trash/files/" + QFileInfo(folder).fileName());
    QCOMPARE(trashed.exists() || trashed.isSymLink(), trash && removed);
    QVERIFY(!QFileInfo::exists(m_home.filePath(QStringLiteral("files"))));
}

QTEST_MAIN(TestLibrary)
#include "tst_library.moc"
