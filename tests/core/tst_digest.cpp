// The Repr-Digest field as the client reads it and catalogd writes it, and SHA-256 itself.

#include "core/Digest.h"
#include "core/Sha256.h"

#include <QtTest>

using namespace tavrel;

class TestDigest : public QObject
{
    Q_OBJECT

private slots:
    void reprDigest_data();
    void reprDigest();
    void sha256InPieces();
};

void TestDigest::reprDigest_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<bool>("names"); // the SHA-256 of "hello"

    const QByteArray b64 = Sha256::of("hello").toBase64();
    const QByteArray ours = "sha-256=:" + b64 + ':';
    QTest::newRow("as catalogd writes it") << reprDigestField(Sha256::of("hello")) << true;
    QTest::newRow("among other algorithms")
        << "sha-512=:" + QByteArray(64, 'A').toBase64() + ":, " + ours + ", md5=?1" << true;
    QTest::newRow("with parameters and blanks") << "  " + ours + ";q=1 ,\tunixsum=42" << true;
    QTest::newRow("given twice: the last counts") << "sha-256=:AAAA:, " + ours << true;
    QTest::newRow("no sha-256") << QByteArray("sha-512=:AAAA:") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("too short") << QByteArray("sha-256=:AAAA:") << false;
    QTest::newRow("too long")
        << "sha-256=:" + QByteArray(33, 'x').toBase64() + ':' << false;
    QTest::newRow("as a string, not bytes") << "sha-256=\"" + b64 + '"' << false;
    QTest::newRow("hex, not base64") << "sha-256=:" + Sha256::of("hello").toHex() + ':' << false;
    QTest::newRow("base64url letters") << "sha-256=:" + QByteArray(b64).replace('+', '-') + "-:" << false;
    QTest::newRow("no closing colon") << "sha-256=:" + b64 << false;
    QTest::newRow("trailing comma") << ours + ',' << false;
    QTest::newRow("upper-case key") << "SHA-256=:" + b64 + ':' << false;
    QTest::newRow("a later member that does not parse") << ours + ", x=(1 2" << false;
    QTest::newRow("control character") << ours + ", x=\"a\x01\"" << false;
    QTest::newRow("far too long") << ours + ", x=\"" + QByteArray(5000, 'a') + '"' << false;
    QTest::newRow("key without a value") << "sha-256, " + ours << true;
    QTest::newRow("inner list") << "x=(1 \"a\" :AAAA:);p, " + ours << true;
}

void TestDigest::reprDigest()
{
    QFETCH(QByteArray, field);
    QFETCH(bool, names);
    QCOMPARE(sha256FromReprDigest(field), names ? Sha256::of("hello") : QByteArray());
}

void TestDigest::sha256InPieces()
{
    // FIPS 180-2's two-block message, fed in uneven pieces, the digest read in between.
    const QByteArray message = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    Sha256 hash;
    hash.add(message.left(7));
    QCOMPARE(hash.result(), Sha256::of(message.left(7)));
    hash.add(message.mid(7));
    QCOMPARE(hash.result().toHex(),
             QByteArray("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"));
    hash.reset();
    QCOMPARE(hash.result().toHex(),
             QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

QTEST_GUILESS_MAIN(TestDigest)
#include "tst_digest.moc"
