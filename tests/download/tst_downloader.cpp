// The control's bookkeeping, events and file handling, driven through a scripted service.

#include "FakeFetchService.h"
#include "LogCapture.h"
#include "core/Sha256.h"
#include "download/Downloader.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString listOf(const QStringList &items)
{
    return u'[' + items.join(u',') + u']';
}

// Every file below dir, hidden ones too, as "relative/path=contents".
QStringList filesIn(const QString &dir)
{
    QStringList found;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", qPrintable(path));
        found.append(QDir(dir).relativeFilePath(path) + u'=' + QString::fromUtf8(file.readAll()));
    }
    found.sort();
    return found;
}

} // namespace

class TestDownloader : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void script_data();
    void script();

    void passesCallArgumentsThrough();
    void newBatchFromCompletionHandler();
    void destroyWhileListedCancelsSilently();
    void errorText_data();
    void errorText();
    void diagnosticsLeaveQueriesOut_data();
    void diagnosticsLeaveQueriesOut();

private:
    // Runs the steps of a script (see script_data); with secretUrls every URL carries a user, a
    // password and a query.
    void run(const QStringList &steps, bool secretUrls = false);
    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString name(const QString &path) const { return QDir(m_dir->path()).relativeFilePath(path); }
    void record(Downloader *control);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::shared_ptr<FakeFetchService::Log> m_log;
    FakeFetchService *m_service = nullptr;
    std::unique_ptr<Downloader> m_control;
    QStringList m_events;
    QStringList m_boxes;
};

void TestDownloader::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_log = std::make_shared<FakeFetchService::Log>();
    auto service = std::make_unique<FakeFetchService>(m_log);
    m_service = service.get();
    m_events.clear();
    m_boxes.clear();
    m_control = std::make_unique<Downloader>(std::move(service),
                                             [this](const QString &text) { m_boxes << text; });
    record(m_control.get());
}

void TestDownloader::cleanup()
{
    m_control.reset();
    m_dir.reset();
}

void TestDownloader::record(Downloader *control)
{
    connect(control, &Downloader::DownloadProgress, this,
            [this](qint64 cur, qint64 max, const QString &file) {
                m_events << QStringLiteral("progress %1/%2 %3").arg(cur).arg(max).arg(name(file));
            });
    connect(control, &Downloader::DownloadError, this,
            [this](const QString &file, const QString &) { m_events << "error " + name(file); });
    connect(control, &Downloader::DownloadComplete, this, [this](qint64 max, const QString &file) {
        m_events << QStringLiteral("complete %1 %2").arg(max).arg(name(file));
    });
    connect(control, &Downloader::DownloadAllComplete, this, [this](const QStringList &failed) {
        QStringList names;
        for (const QString &f : failed)
            names << (f.isEmpty() ? QString() : name(f));
        m_events << "all " + listOf(names);
    });
}

// Each row is a script of what happens to the control and what must follow. Steps:
//   begin K | existing K TEXT | data K TEXT | progress K READ MAX CODE [TEXT]
//   complete K CODE MAX [TEXT] | cut K TEXT (the connection dropped: a failure worth resuming)
//   refuse NUMBER TEXT | cancelall
//   first K MAX VALIDATOR DIGESTOF (first data of the file; its digest is the SHA-256 of the text
//   DIGESTOF, "-" for none)
//   stopped K (the control has asked the service to stop K by now)
//   starts N (the service has been asked to start N fetches so far)
// Afterwards: the events in order, the lists, and every file in the folder (so nothing may be
// left beside a target).
void TestDownloader::script_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("statuses");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("one fetch, announced length")
        << QStringList{"begin a",   "progress a 0 0 11", "data a hel",    "progress a 3 5 5",
                       "data a lo", "progress a 5 5 6",  "complete a 6 5"}
        << QStringList{"progress 3/5 a", "progress 5/5 a", "complete 5 a", "all []"}
        << QStringList{} << "" << QStringList{"a=hello"};
    QTest::newRow("no length: no progress, completion's max")
        << QStringList{"begin a", "data a abc", "progress a 3 0 5", "progress a 3 0 6",
                       "complete a 6 0"}
        << QStringList{"complete 0 a", "all []"} << QStringList{} << "" << QStringList{"a=abc"};
    QTest::newRow("final count repeats")
        << QStringList{"begin a", "data a xy", "progress a 2 2 5", "progress a 2 2 6",
                       "complete a 6 2"}
        << QStringList{"progress 2/2 a", "progress 2/2 a", "complete 2 a", "all []"}
        << QStringList{} << "" << QStringList{"a=xy"};
    QTest::newRow("empty body still makes a file")
        << QStringList{"begin a", "complete a 6 0"} << QStringList{"complete 0 a", "all []"}
        << QStringList{} << "" << QStringList{"a="};
    QTest::newRow("failure after some data leaves nothing")
        << QStringList{"begin a", "data a partial", "complete a 0 0"}
        << QStringList{"error a", "all [,a]"} << QStringList{} << "" << QStringList{};
    QTest::newRow("three side by side, two failing, in start order")
        << QStringList{"begin a",        "begin b",        "begin c",       "data b bee",
                       "complete c 0 0", "complete b 6 3", "complete a 0 0"}
        << QStringList{"error c", "complete 3 b", "error a", "all [,a,c]"} << QStringList{} << ""
        << QStringList{"b=bee"};
    QTest::newRow("open entry holds back the end")
        << QStringList{"begin a", "begin b", "data a x", "complete a 6 1"}
        << QStringList{"complete 1 a"} << QStringList{"a", "b"} << "6,255" << QStringList{"a=x"};
    QTest::newRow("same key twice: second entry stays open")
        << QStringList{"begin a", "begin a", "data a 2nd", "complete a 6 3"}
        << QStringList{"complete 3 a"} << QStringList{"a", "a"} << "6,255" << QStringList{"a=2nd"};
    QTest::newRow("same key twice, then cancel all")
        << QStringList{"begin a", "begin a", "complete a 6 0", "cancelall"}
        << QStringList{"complete 0 a"} << QStringList{} << "" << QStringList{"a="};
    QTest::newRow("restart of a key drops what the earlier start staged")
        << QStringList{"begin a", "data a old-", "begin a", "data a new", "complete a 6 3"}
        << QStringList{"complete 3 a"} << QStringList{"a", "a"} << "6,255" << QStringList{"a=new"};
    QTest::newRow("other code leaves the entry open")
        << QStringList{"begin a", "complete a 4 0"} << QStringList{} << QStringList{"a"} << "4"
        << QStringList{};
    QTest::newRow("other code, later overwritten by the end")
        << QStringList{"begin a", "complete a 3 0", "data a z", "complete a 6 1"}
        << QStringList{"complete 1 a", "all []"} << QStringList{} << "" << QStringList{"a=z"};
    QTest::newRow("failure for an unlisted key, empty list")
        << QStringList{"complete z 0 0"} << QStringList{"error z", "all []"} << QStringList{} << ""
        << QStringList{};
    QTest::newRow("end for an unlisted key writes no empty file")
        << QStringList{"complete z 6 4"} << QStringList{"error z", "all []"} << QStringList{} << ""
        << QStringList{};
    QTest::newRow("unlisted key changes no entry")
        << QStringList{"begin a", "complete z 0 0"} << QStringList{"error z"} << QStringList{"a"}
        << "255" << QStringList{};
    QTest::newRow("failure in progress only stops the fetch")
        << QStringList{"begin a", "data a part", "progress a 4 9 0", "stopped a"}
        << QStringList{"progress 4/9 a"} << QStringList{"a"} << "255" << QStringList{};
    QTest::newRow("refused start lists nothing")
        << QStringList{"refuse 7 busy", "begin a", "complete a 6 0"}
        << QStringList{"error a", "all []"} << QStringList{} << "" << QStringList{};
    QTest::newRow("cancel all while running: no events, no files")
        << QStringList{"begin a", "begin b", "data a part", "cancelall", "stopped a", "stopped b"}
        << QStringList{} << QStringList{} << "" << QStringList{};
    QTest::newRow("cancel all on an empty list")
        << QStringList{"cancelall"} << QStringList{} << QStringList{} << "" << QStringList{};
    QTest::newRow("existing file kept after a failure")
        << QStringList{"existing a old-contents", "begin a", "data a ne", "complete a 0 0"}
        << QStringList{"error a", "all [,a]"} << QStringList{} << ""
        << QStringList{"a=old-contents"};
    QTest::newRow("existing file replaced whole")
        << QStringList{"existing a old-contents", "begin a", "data a new", "complete a 6 3"}
        << QStringList{"complete 3 a", "all []"} << QStringList{} << "" << QStringList{"a=new"};
    QTest::newRow("existing file kept while the new one arrives")
        << QStringList{"existing a old-contents", "begin a", "data a new"} << QStringList{}
        << QStringList{"a"} << "255" << QStringList{"a=old-contents"};
    QTest::newRow("missing folder: error at first data, folder not made")
        << QStringList{"begin no/a", "data no/a x", "stopped no/a", "complete no/a 6 1"}
        << QStringList{"error no/a", "all [,no/a]", "error no/a", "all []"} << QStringList{} << ""
        << QStringList{};
    QTest::newRow("the published digest matches")
        << QStringList{"begin a", "first a 5 v1 hello", "data a hello", "complete a 6 5"}
        << QStringList{"progress 0/5 a", "complete 5 a", "all []"} << QStringList{} << ""
        << QStringList{"a=hello"};
    QTest::newRow("a digest mismatch fetches the file again once")
        << QStringList{"begin a",      "first a 5 v1 hello", "data a hellx",
                       "complete a 6 5", "starts 2",         "first a 5 v1 hello",
                       "data a hello", "complete a 6 5"}
        << QStringList{"progress 0/5 a", "progress 0/5 a", "complete 5 a", "all []"}
        << QStringList{} << "" << QStringList{"a=hello"};
    QTest::newRow("a second mismatch: nothing committed, the older copy kept")
        << QStringList{"existing a old",   "begin a",      "first a 5 v1 hello",
                       "data a hellx",     "complete a 6 5", "first a 5 v1 hello",
                       "data a hellx",     "complete a 6 5", "starts 2"}
        << QStringList{"progress 0/5 a", "progress 0/5 a", "error a", "all [,a]"}
        << QStringList{} << "" << QStringList{"a=old"};
    QTest::newRow("missing folder, empty body")
        << QStringList{"begin no/a", "complete no/a 6 0"}
        << QStringList{"error no/a", "all [,no/a]"} << QStringList{} << "" << QStringList{};
}

void TestDownloader::run(const QStringList &steps, bool secretUrls)
{
    const auto urlOf = [secretUrls](const QString &key) {
        return secretUrls ? "http://user:s3cretPw@h/up/" + key + "?pass=s3cretCode"
                          : "http://h/" + key;
    };
    for (const QString &step : steps) {
        const QStringList w = step.split(u' ');
        const QString op = w.at(0);
        const QString text = w.mid(op == "progress" ? 5 : op == "complete" ? 4 : 2).join(u' ');
        if (op == "begin") {
            m_control->BeginDownload(urlOf(w.at(1)), path(w.at(1)));
        } else if (op == "existing") {
            QFile f(path(w.at(1)));
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(w.at(2).toUtf8());
        } else if (op == "data") {
            m_service->sendData(path(w.at(1)), w.at(2).toUtf8());
        } else if (op == "progress") {
            const int code = w.at(4).toInt();
            // The service names the URL when it starts sending, otherwise what it is doing.
            m_service->sendProgress(path(w.at(1)), w.at(2).toLongLong(), w.at(3).toLongLong(), code,
                                    code == FetchRecord::Sending ? urlOf(w.at(1)) : QString(),
                                    text);
        } else if (op == "complete") {
            m_service->sendCompletion(path(w.at(1)), w.at(2).toInt(), w.at(3).toLongLong(), text);
        } else if (op == "cut") {
            FetchRecord cut = FakeFetchService::record(path(w.at(1)), QString(), 0, 0,
                                                       FetchRecord::Failure, text);
            cut.resumable = true;
            emit m_service->completed(cut);
        } else if (op == "first") {
            const QByteArray of = w.at(4).toUtf8();
            m_service->sendFirstData(path(w.at(1)), w.at(2).toLongLong(), w.at(3).toUtf8(),
                                     of == "-" ? QByteArray() : tavrel::Sha256::of(of));
        } else if (op == "starts") {
            QCOMPARE(m_log->starts.size(), w.at(1).toInt());
        } else if (op == "refuse") {
            m_log->refuseNext = FetchError{w.at(1).toInt(), w.at(2)};
        } else if (op == "stopped") {
            QVERIFY2(m_log->cancels.contains(path(w.at(1))), qPrintable(step));
        } else if (op == "cancelall") {
            QVERIFY(m_control->CancelAllDownload());
        } else {
            QFAIL(qPrintable("unknown step " + step));
        }
    }
}

void TestDownloader::script()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, events);
    QFETCH(QStringList, listed);
    QFETCH(QString, statuses);
    QFETCH(QStringList, files);

    run(steps);
    if (QTest::currentTestFailed())
        return;

    QCOMPARE(m_events, events);
    QStringList names;
    for (const QString &f : m_control->fileList())
        names << name(f);
    QCOMPARE(names, listed);
    QStringList codes;
    for (quint8 s : m_control->statusList())
        codes << QString::number(s);
    QCOMPARE(codes.join(u','), statuses);
    QCOMPARE(filesIn(m_dir->path()), files);
    QVERIFY(!QFileInfo::exists(path("no")));
    const bool refused = steps.contains("refuse 7 busy");
    QCOMPARE(m_boxes.size(), refused ? 1 : 0);
}

void TestDownloader::passesCallArgumentsThrough()
{
    m_control->BeginDownload(" http://h/a b?q=1 ", path("a"));
    m_control->BeginDownload("http://h/b", path("b"), 0x40);
    QCOMPARE(m_log->starts, (QStringList{" http://h/a b?q=1 |" + path("a") + "|-",
                                         "http://h/b|" + path("b") + "|64"}));
    QVERIFY(m_control->CancelAllDownload());
    QCOMPARE(m_log->cancels, (QStringList{path("a"), path("b")}));
    QVERIFY(m_events.isEmpty());
}

void TestDownloader::newBatchFromCompletionHandler()
{
    // The lists are empty when the end of a batch is raised, so its handler may start anew.
    connect(m_control.get(), &Downloader::DownloadAllComplete, this, [this] {
        if (m_control->fileList().isEmpty() && m_log->starts.size() == 1)
            m_control->BeginDownload("http://h/b", path("b"));
    });
    m_control->BeginDownload("http://h/a", path("a"));
    m_service->sendCompletion(path("a"), FetchRecord::Failure, 0);
    QCOMPARE(m_events, (QStringList{"error a", "all [,a]"}));
    QCOMPARE(m_control->fileList(), QStringList{path("b")});
    QCOMPARE(m_control->statusList(), QList<quint8>{255});
}

void TestDownloader::destroyWhileListedCancelsSilently()
{
    m_control->BeginDownload("http://h/a", path("a"));
    m_control->BeginDownload("http://h/b", path("b"));
    m_service->sendData(path("a"), "partial");
    m_control.reset();
    QCOMPARE(m_log->cancels, (QStringList{path("a"), path("b")}));
    QVERIFY(m_events.isEmpty());
    QCOMPARE(filesIn(m_dir->path()), QStringList{});
}

void TestDownloader::errorText_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<Downloader::Operation>("operation");
    QTest::addColumn<QString>("text");

    QTest::newRow("BeginDownload")
        << 7 << Downloader::Operation::BeginDownload
        << QString::fromUtf8("7:错误在调用 BeginDownload().\r\n\r\n错误描述: busy");
    QTest::newRow("SizeIt, ideographic space")
        << 380 << Downloader::Operation::SizeIt
        << QString::fromUtf8("380:错误在调用\u3000SizeIt().\r\n\r\n错误描述: busy");
}

void TestDownloader::errorText()
{
    QFETCH(int, number);
    QFETCH(Downloader::Operation, operation);
    QFETCH(QString, text);
    QCOMPARE(Downloader::errorText(number, operation, "busy"), text);
    if (operation == Downloader::Operation::BeginDownload) {
        m_log->refuseNext = FetchError{number, "busy"};
        m_control->BeginDownload("http://h/a", path("a"));
        QCOMPARE(m_boxes, QStringList{text});
    }
}

void TestDownloader::diagnosticsLeaveQueriesOut_data()
{
    QTest::addColumn<QStringList>("steps"); // as in script, every URL with secrets in it
    // What every build writes without configuration; "%1" is the folder. Empty: nothing.
    QTest::addColumn<QString>("warning");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QStringList>("detail"); // the debug lines of builds that have them

    const QStringList fetched{"begin a",
                              "progress a 0 0 11",
                              "progress a 0 0 2 h",
                              "progress a 0 0 3 http://h/b",
                              "progress a 0 0 4 text/plain",
                              "progress a 1 1 6",
                              "complete a 6 1"};
    const QStringList fetchedDetail{"Attempting to connect http://h/up/a",
                                    "Connecting h",
                                    "Redirecting http://h/b",
                                    "Begin downloading text/plain",
                                    "Download complete ",
                                    "Writting to file %1/a",
                                    "Killing download %1/a"};
    QTest::newRow("complete: detail only") << fetched << QString() << QString() << fetchedDetail;
    QTest::newRow("failure")
        << QStringList{"begin a", "data a part", "complete a 0 0 服务器返回 404 Not Found"}
        << "download to %1/a from http://h/up/a failed: 服务器返回 404 Not Found" << QString()
        << QStringList{};
    QTest::newRow("refused start")
        << QStringList{"refuse 5 无效的下载地址", "begin a"}
        << "download to %1/a from http://h/up/a refused: 5 无效的下载地址" << QString()
        << QStringList{};
    QTest::newRow("stopped in progress")
        << QStringList{"begin a", "progress a 0 0 0 连接超时"}
        << "download to %1/a stopped: 连接超时" << QString() << QStringList{};
    QTest::newRow("resumed") << QStringList{"begin a", "first a 9 v1 -", "data a part",
                                            "cut a 连接超时"}
                             << QString()
                             << "download to %1/a resumes at byte 4 in 1000 ms after: 连接超时"
                             << QStringList{};
    QTest::newRow("cancelled") << QStringList{"begin a", "data a part", "cancelall"} << QString()
                               << "download to %1/a cancelled" << QStringList{};
}

void TestDownloader::diagnosticsLeaveQueriesOut()
{
    QFETCH(QStringList, steps);
    QFETCH(QString, warning);
    QFETCH(QString, info);
    QFETCH(QStringList, detail);

    const QString category = QStringLiteral("tavrel.download");
    LogCapture log;
    run(steps, true);
    if (QTest::currentTestFailed())
        return;

    for (const QString &line : log.lines())
        QVERIFY2(!line.contains("s3cret"), qPrintable(line));
    const auto expected = [this](const QString &line) {
        return line.isEmpty() ? QStringList{} : QStringList{line.arg(m_dir->path())};
    };
    QCOMPARE(log.messages(category, QtWarningMsg), expected(warning));
    QCOMPARE(log.messages(category, QtInfoMsg), expected(info));
#ifndef QT_NO_DEBUG_OUTPUT
    if (!detail.isEmpty())
        QCOMPARE(log.messages(category, QtDebugMsg), detail.replaceInStrings("%1", m_dir->path()));
#endif
}

QTEST_GUILESS_MAIN(TestDownloader)
#include "tst_downloader.moc"
