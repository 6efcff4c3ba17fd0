// What a screen reader and a keyboard user meet in the window: every control named, distinct
// names, the progress bar's value and range as the download moves it, and a tab chain that
// never leaves the visible part of the window.
#include "FakeFetchService.h"
#include "MainHarness.h"

#include "client/Main.h"
#include "client/platform/CatalogList.h"
#include "download/NetworkFetchService.h"
#include "progress/ProgressBar.h"

#include "FaultServer.h"

#include <QAccessible>
#include <QApplication>
#include <QHash>
#include <QSet>
#include <QTest>

namespace {

// Every accessible node below iface that stands for a control: buttons, text boxes, the list
// and the bar (the list's own rows and headers are its business).
void collectControls(QAccessibleInterface *iface, QList<QAccessibleInterface *> &out)
{
    static const QSet<QAccessible::Role> controls{QAccessible::PushButton,
                                                  QAccessible::EditableText, QAccessible::Table,
                                                  QAccessible::ProgressBar};
    for (int i = 0; i < iface->childCount(); ++i) {
        QAccessibleInterface *child = iface->child(i);
        if (!child || !qobject_cast<QWidget *>(child->object()))
            continue;
        if (controls.contains(child->role()))
            out.append(child);
        else
            collectControls(child, out);
    }
}

QStringList objectNames(const QList<QWidget *> &widgets)
{
    QStringList names;
    for (const QWidget *w : widgets)
        names.append(w->objectName());
    return names;
}

} // namespace

class TestAccessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void namesDistinctAndPresent();
    void barValueFollowsDownload();
    void tabChainStaysInView_data();
    void tabChainStaysInView();
};

void TestAccessibility::namesDistinctAndPresent()
{
    MainHarness h;
    h.window->Form_Load();
    QAccessibleInterface *root = QAccessible::queryAccessibleInterface(h.window.get());
    QVERIFY(root);
    QList<QAccessibleInterface *> controls;
    collectControls(root, controls);

    // The inputs, the list and the bar by name; buttons go by their captions.
    const QHash<QString, QString> named{
        {"Text1", "搜索内容"}, {"Text4", "管理员密码"}, {"Text5", "安全码"},
        {"Text3", "旧密码"},   {"Text2", "新密码"},     {"ListView", "外挂列表"},
        {"ProgressBar1", "下载进度"}, {"HaunCun_Text", "内部缓存（程序自用，不需填写）"}};
    QSet<QString> seen;
    for (QAccessibleInterface *control : controls) {
        const QString what = control->object()->objectName();
        const QString name = control->text(QAccessible::Name);
        if (named.contains(what))
            QCOMPARE(name, named.value(what));
        QVERIFY2(!name.trimmed().isEmpty(), qPrintable(what + " has no name"));
        QVERIFY2(!seen.contains(name), qPrintable(what + " shares its name " + name));
        seen.insert(name);
    }
    // Fifteen buttons, six text boxes, the list and the bar: none slipped past the walk.
    QCOMPARE(controls.size(), 23);
}

void TestAccessibility::barValueFollowsDownload()
{
    // A server that never answers keeps the download running while progress is reported.
    FaultServer server;
    server.setDefaultReply(FaultServer::silent());
    MainHarness h(MainHarness::Setup{server.baseUrl() + QStringLiteral("adminphp/"), nullptr, {},
                                     {}, true});
    h.window->Form_Load();
    h.window->listView()->replaceRows({{QStringLiteral("工具"), QStringLiteral("Tool"),
                                        QStringLiteral("免费"), QStringLiteral("2024-05-01"),
                                        QStringLiteral("tool.zip"), QStringLiteral("7")}});
    h.window->ListView_RowSelected(0);
    h.window->ListView_RowActivated();

    QAccessibleInterface *bar = QAccessible::queryAccessibleInterface(h.window->progressBar());
    QAccessibleValueInterface *value = bar->valueInterface();
    QVERIFY(value);
    QCOMPARE(value->minimumValue().toInt(), 0);
    QCOMPARE(value->maximumValue().toInt(), 100);
    QCOMPARE(value->currentValue().toInt(), 0);

    const QString key = h.services.libraryRoot + QStringLiteral("Tool/tool.zip");
    emit h.fetchService->progress(
        FakeFetchService::record(key, QString(), 420, 1000, FetchRecord::Downloading, QString()));
    QCOMPARE(h.window->progressBar()->Value(), 42);
    QCOMPARE(value->currentValue().toInt(), 42);
    QCOMPARE(bar->text(QAccessible::Value), QStringLiteral("42%"));
}

void TestAccessibility::tabChainStaysInView_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("chain"); // from Command1, by Tab

    const QStringList narrow{"Command1", "ListView", "Qian", "Hou", "Command2",
                             "Command3", "Command4", "SoSo", "Text1"};
    QTest::newRow("first size") << QSize(547, 468) << narrow;
    QTest::newRow("taller only") << QSize(547, 900) << narrow;
    // The administrator's controls in the window's tab order; "确认" sits below 468.
    QStringList wide{"Command1", "ListView", "Qian",      "Hou",       "Command2", "Command3",
                     "Command4", "Text4",    "Command7",  "Text5",     "Command12", "Command11",
                     "Command5", "Command6", "Text3",     "Text2",     "Command10", "Command9",
                     "SoSo",     "Text1",    "HaunCun_Text"};
    QTest::newRow("wider") << QSize(1300, 468) << wide;
    wide.insert(wide.indexOf(QStringLiteral("Text2")) + 1, QStringLiteral("Command8"));
    QTest::newRow("wider and taller") << QSize(1300, 560) << wide;
}

void TestAccessibility::tabChainStaysInView()
{
    QFETCH(QSize, size);
    QFETCH(QStringList, chain);

    MainHarness h;
    Main &window = *h.window;
    window.Form_Load();
    // Paging buttons on, as with a list of several pages.
    window.form()->Qian->setEnabled(true);
    window.form()->Hou->setEnabled(true);
    window.show();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    // Shrinking back from the widest size must take the controls out again.
    window.resize(1300, 560);
    window.resize(size);
    window.form()->Command1->setFocus(Qt::TabFocusReason);

    QList<QWidget *> visited;
    for (int i = 0; i < 40; ++i) {
        QWidget *focused = QApplication::focusWidget();
        QVERIFY(focused);
        if (!visited.isEmpty() && focused == visited.first())
            break;
        visited.append(focused);
        QTest::keyClick(focused, Qt::Key_Tab);
    }
    QCOMPARE(objectNames(visited), chain);
    for (QWidget *w : visited) {
        const QRect where(w->mapTo(&window, QPoint(0, 0)), w->size());
        QVERIFY2(where.intersects(window.rect()), qPrintable(w->objectName() + " is out of view"));
    }
}

QTEST_MAIN(TestAccessibility)
#include "tst_accessibility.moc"
