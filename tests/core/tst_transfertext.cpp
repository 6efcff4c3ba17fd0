// The words about a download on its way: sizes, times and the bar's tooltip.

#include "core/TransferText.h"

#include <QTest>

using namespace tavrel;

class TestTransferText : public QObject
{
    Q_OBJECT

private slots:
    void sizes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << qint64(0) << "0 B";
        QTest::newRow("under a kilobyte") << qint64(1023) << "1023 B";
        QTest::newRow("one kilobyte") << qint64(1024) << "1.0 KB";
        QTest::newRow("megabytes") << qint64(3 * 1024 * 1024 + 512 * 1024) << "3.5 MB";
        QTest::newRow("gigabytes") << qint64(5) * 1024 * 1024 * 1024 << "5.0 GB";
        QTest::newRow("negative is nothing") << qint64(-5) << "0 B";
    }
    void sizes()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, text);
        QCOMPARE(sizeText(bytes), text);
    }

    void durations_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("seconds") << qint64(8) << QStringLiteral("约 8 秒");
        QTest::newRow("a minute, rounded up") << qint64(61) << QStringLiteral("约 2 分钟");
        QTest::newRow("just under an hour, rounded up")
            << qint64(3599) << QStringLiteral("约 1 小时");
        QTest::newRow("hours and minutes") << qint64(7500) << QStringLiteral("约 2 小时 5 分钟");
    }
    void durations()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(durationText(seconds), text);
    }

    void tips_data()
    {
        QTest::addColumn<qint64>("done");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<double>("speed");
        QTest::addColumn<QString>("tip");
        const qint64 mb = 1024 * 1024;
        QTest::newRow("on its way")
            << 5 * mb << 20 * mb << double(mb)
            << QStringLiteral("已下载 5.0 MB / 20.0 MB\n速度 1.0 MB/s，剩余约 15 秒");
        QTest::newRow("no speed yet")
            << qint64(0) << 20 * mb << 0.0 << QStringLiteral("已下载 0 B / 20.0 MB\n剩余时间未知");
        QTest::newRow("done") << 20 * mb << 20 * mb << double(mb)
                              << QStringLiteral(
                                     "已下载 20.0 MB / 20.0 MB\n速度 1.0 MB/s，剩余约 0 秒");
    }
    void tips()
    {
        QFETCH(qint64, done);
        QFETCH(qint64, total);
        QFETCH(double, speed);
        QFETCH(QString, tip);
        QCOMPARE(downloadTip(done, total, speed), tip);
    }
};

QTEST_APPLESS_MAIN(TestTransferText)
#include "tst_transfertext.moc"
