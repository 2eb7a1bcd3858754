#include "digest.h"

#include <QTest>

using namespace tavrel;

// Expected values were computed apart from this code, from the UTF-8 bytes of each
// password with a reference MD5.
class TestDigest : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data();
    void vectors();
};

void TestDigest::vectors_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("digest");
    QTest::addColumn<QString>("salted");

    QTest::newRow("empty") << QString() << "d41d8cd98f00b204e9800998ecf8427e"
                           << "34264813802e03ae74c7de1d1c7f8888";
    QTest::newRow("ascii") << "secret1"
                           << "e52d98c459819a11775936d8dfbb7929"
                           << "a557f5ed972a8a5df3ae5a48beef8143";
    QTest::newRow("letter case counts") << "Secret1"
                                        << "d6cb2342e44efb6dd628276f36da2359"
                                        << "745b93cbcab82890a85638053417b9f0";
    QTest::newRow("Chinese as UTF-8") << QStringLiteral("密码口令安全") << "d747a744dcd5176a18913cfbe4d296a1"
                                      << "eb83d2da858abe40449d2f7a862b717a";
    QTest::newRow("leading and trailing blank") << " secret1 "
                                                << "b69b0c11a1f6ff4cf6445a9125ac9143"
                                                << "ad9011ae2e43ee1de49bcb28b88cfe5a";
    QTest::newRow("trailing blank") << "secret1 "
                                    << "e5c49026c51ab87c57337782ecbab0d9"
                                    << "66e37560640e16b40b2547453aba1e61";
    QTest::newRow("surrogate pairs") << QStringLiteral("😀😁😂") << "465b12b92e4c8958eec7f7625bd06438"
                                     << "b170c899026166e32a2325853268e7f5";
}

void TestDigest::vectors()
{
    QFETCH(QString, password);
    QFETCH(QString, digest);
    QFETCH(QString, salted);

    QCOMPARE(md5Hex(password), digest);
    QCOMPARE(saltedDigest(password), salted);
    QCOMPARE(saltedDigest(password, QStringLiteral("qzrt#=")), salted);
}

QTEST_APPLESS_MAIN(TestDigest)
#include "tst_digest.moc"
