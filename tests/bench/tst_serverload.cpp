#include "codemail.h"
#include "loadline.h"
#include "outbox.h"

#include <QTest>

using namespace bench;
using namespace Qt::StringLiterals;

// The load generator's readers: if they misread, the benchmark reports lost or misframed
// lines that the server never lost, or finds no verification code and cannot start.
class TestServerLoad : public QObject
{
    Q_OBJECT
private slots:
    void readsChatMessages_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QList<qint64>>("seqs");
        QTest::addColumn<int>("foreign");
        QTest::addColumn<int>("misframed");

        const QByteArray a = "load000: " + loadLineText(0, 7, 1000, 60);
        const QByteArray b = "load001: " + loadLineText(1, 8, 2000, 60);
        const QByteArray c = "load002: " + loadLineText(2, 9, 3000, 20);
        QTest::newRow("lines merged") << "c," + a + '\n' + b + '\n' + c << QList<qint64>{7, 8, 9} << 0 << 0;
        QTest::newRow("notice among lines") << "c," + a + "\n请先登录" << QList<qint64>{7} << 1 << 0;
        QTest::newRow("two messages run together") << "c," + a + "c," + b << QList<qint64>{7, 8} << 0 << 1;
        QTest::newRow("list between two messages")
            << "c," + a + "o,load005\nload006c," + b << QList<qint64>{7, 8} << 0 << 2;
        QTest::newRow("comma missing") << "cX" + a << QList<qint64>{7} << 0 << 1;
        QTest::newRow("stamp cut") << QByteArray("c,load000: @@0.7.") << QList<qint64>{} << 0 << 1;
        QTest::newRow("filler changed") << "c," + a.left(a.size() - 1) + 'Z' << QList<qint64>{7} << 0 << 1;
    }

    void readsChatMessages()
    {
        QFETCH(QByteArray, message);
        QFETCH(QList<qint64>, seqs);
        QFETCH(int, foreign);
        QFETCH(int, misframed);

        const ChatReading reading = readChatMessage(message);
        QList<qint64> found;
        for (const Stamp &stamp : reading.stamps) {
            found.append(stamp.seq);
            QCOMPARE(stamp.us, 1000 * (stamp.sender + 1));
            // Every stamp keeps its sender's name, so the load can tell it was not forged.
            if (!stamp.name.empty())
                QCOMPARE(QByteArray(stamp.name.data(), int(stamp.name.size())),
                         QByteArray("load00") + QByteArray::number(stamp.sender));
        }
        QCOMPARE(found, seqs);
        QCOMPARE(reading.foreign, foreign);
        QCOMPARE(reading.misframed, misframed);
        QCOMPARE(int(reading.problems.size()), misframed);
    }

    void readsMails_data()
    {
        QTest::addColumn<QByteArray>("mail");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("code");

        // The address holds digits too; only the code may be taken for it.
        QTest::newRow("the server's mail")
            << tavrel::server::OutboxMailer::composeMail(u"Load123@Example.org"_s, u"042917"_s, 10)
            << u"load123@example.org"_s << u"042917"_s;
        QTest::newRow("seven digits are no code")
            << QByteArray("To: a@b.org\r\n\r\norder 1234567\r\n") << "a@b.org" << QString();
        QTest::newRow("digits in the headers only")
            << QByteArray("To: a@b.org\r\nX-Id: 123456\r\n\r\nnothing\r\n") << "a@b.org" << QString();
    }

    void readsMails()
    {
        QFETCH(QByteArray, mail);
        QFETCH(QString, address);
        QFETCH(QString, code);
        QString gotAddress, gotCode;
        Outbox::parseMail(mail, &gotAddress, &gotCode);
        QCOMPARE(gotAddress, address);
        QCOMPARE(gotCode, code);
    }
};

QTEST_GUILESS_MAIN(TestServerLoad)
#include "tst_serverload.moc"
