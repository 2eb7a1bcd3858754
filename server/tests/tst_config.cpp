#include "configvalues.h"
#include "options.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

// The config file and the option values that are more than a number.
class TestConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &bytes, int mode = 0600)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.remove();
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        const auto bits = [mode](int shift) { return (mode >> shift) & 7; };
        file.setPermissions(QFileDevice::Permissions(bits(6) << 12 | bits(6) << 8 | bits(3) << 4 | bits(0)));
        return path;
    }

private slots:
    // A value read from the file ("" for a flag that is on), or the file's faults, each after
    // "FILE:" (the file's own name may hold what arg() would take for a place of its own).
    void configFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("errors");
        QTest::newRow("comments and blank lines")
            << QByteArray("# one\n; port = 8\n\r\n  port=7  \n") << u"7"_s << QStringList();
        QTest::newRow("quoted comma")
            << QByteArray("mail-from = \"T, Inc <a@b.org>\"\n") << u"T, Inc <a@b.org>"_s << QStringList();
        QTest::newRow("flag on") << QByteArray("flag = yes\n") << u""_s << QStringList();
        QTest::newRow("key in a section") << QByteArray("[server]\nport = 7\n") << QString()
                                          << QStringList{u"2: unknown key 'server/port'"_s};
        QTest::newRow("given twice, file %L1")
            << QByteArray("port = 7\n\nport = 8\n") << QString()
            << QStringList{u"3: key 'port' is given again (first at line 1)"_s};
        QTest::newRow("unquoted comma")
            << QByteArray("mail-from = T, Inc <a@b.org>\n") << QString()
            << QStringList{u"1: key 'mail-from': a value with a comma must be in double quotes"_s};
        QTest::newRow("flag with a value")
            << QByteArray("flag = maybe\n") << QString()
            << QStringList{u"1: key 'flag' takes true or false, got 'maybe'"_s};
        QTest::newRow("options of the command line only")
            << QByteArray("config = x\ncheck-config = true\nhelp = true\n") << QString()
            << QStringList{u"1: unknown key 'config'"_s, u"2: unknown key 'check-config'"_s,
                           u"3: unknown key 'help'"_s};
        QTest::newRow("every fault, in line order")
            << QByteArray("b = 1\nport\nport = 1\na = 2\n") << QString()
            << QStringList{u"1: unknown key 'b'"_s, u"2: expected 'key = value', got 'port'"_s,
                           u"4: unknown key 'a'"_s};
    }
    void configFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, value);
        QFETCH(QStringList, errors);
        // A name of its own: QSettings keeps what it read of a file by name, size and time.
        const QString file =
            write(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".conf"_s, text);
        OptionParser parser(m_dir.filePath(u"absent.conf"_s));
        parser.addOption(QCommandLineOption(u"port"_s, u"p"_s, u"port"_s));
        parser.addOption(QCommandLineOption(u"mail-from"_s, u"m"_s, u"from"_s));
        parser.addOption(QCommandLineOption(u"flag"_s, u"f"_s));
        QCOMPARE(parser.parse({u"tavrel-server"_s, u"--config"_s, file}), errors.isEmpty());
        QCOMPARE(parser.errors(), errors.replaceInStrings(QRegularExpression(u"^"_s), file + u':'));
        const QString option =
            QString::fromUtf8(text.mid(text.lastIndexOf('\n', -3) + 1).split('=').value(0)).trimmed();
        if (!value.isNull()) {
            QVERIFY(parser.isSet(option));
            QCOMPARE(parser.value(option), value);
            QCOMPARE(parser.origin(option), u"key '%1' at %2:%3"_s.arg(option, file).arg(text.count('\n')));
        }
    }

    void whichFile_data()
    {
        QTest::addColumn<bool>("defaultExists");
        QTest::addColumn<QString>("config"); // --config's value; null: none given
        QTest::addColumn<QString>("read");   // default, other, none, or an error's start
        QTest::newRow("default when it exists") << true << QString() << u"default"_s;
        QTest::newRow("the one named") << true << u"other"_s << u"other"_s;
        QTest::newRow("an empty name reads none") << true << u""_s << u"none"_s;
        QTest::newRow("named but missing") << true << u"nowhere"_s << u"cannot read the config file "_s;
    }
    void whichFile()
    {
        QFETCH(bool, defaultExists);
        QFETCH(QString, config);
        QFETCH(QString, read);
        const QHash<QString, QString> files{{u"default"_s, write(u"default.conf"_s, "port = 1\n")},
                                            {u"other"_s, write(u"other.conf"_s, "port = 2\n")},
                                            {u"nowhere"_s, m_dir.filePath(u"nowhere.conf"_s)}};
        OptionParser parser(defaultExists ? files[u"default"_s] : m_dir.filePath(u"absent.conf"_s));
        parser.addOption(QCommandLineOption(u"port"_s, u"p"_s, u"port"_s));
        const bool ok = parser.parse(
            QStringList{u"tavrel-server"_s} +
            (config.isNull() ? QStringList() : QStringList{u"--config="_s + files.value(config)}));
        if (read.contains(u' ')) {
            QVERIFY(!ok);
            QVERIFY2(parser.errors().value(0).startsWith(read), qPrintable(parser.errors().join(u'\n')));
            return;
        }
        QVERIFY(ok);
        QCOMPARE(parser.value(u"port"_s), QString(read == u"default" ? "1" : read == u"other" ? "2" : ""));
        QCOMPARE(parser.configFile(), files.value(read));
    }

    void mailTarget_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("transport"); // -1: refused
        QTest::addColumn<QString>("url");
        const int smtp = int(MailConfig::Transport::Smtp);
        QTest::newRow("outbox") << u"outbox"_s << int(MailConfig::Transport::Outbox) << QString();
        QTest::newRow("submission port")
            << u"smtp://mail.example.org"_s << smtp << u"smtp://mail.example.org:587"_s;
        QTest::newRow("TLS port") << u"smtps://mail.example.org/"_s << smtp
                                  << u"smtps://mail.example.org:465"_s;
        QTest::newRow("credentials") << u"smtp://user:pw@mail.example.org"_s << -1 << QString();
        QTest::newRow("another scheme") << u"http://mail.example.org"_s << -1 << QString();
        QTest::newRow("no host") << u"smtp://"_s << -1 << QString();
    }
    void mailTarget()
    {
        QFETCH(QString, text);
        QFETCH(int, transport);
        MailConfig mail;
        QString why;
        QCOMPARE(readMailTarget(text, mail, &why), transport >= 0);
        QCOMPARE(why.isEmpty(), transport >= 0);
        if (transport >= 0) {
            QCOMPARE(int(mail.transport), transport);
            QTEST(mail.relayUrl, "url");
        }
    }

    void mailFrom_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("header"); // empty: refused
        QTest::newRow("address") << u"codes@example.org"_s << QByteArray("codes@example.org");
        QTest::newRow("comma in the name")
            << u"Tavrel, Inc. <codes@example.org>"_s << QByteArray("\"Tavrel, Inc.\" <codes@example.org>");
        QTest::newRow("Chinese name")
            << u"验证码 <codes@example.org>"_s
            << "=?UTF-8?B?" + u"验证码"_s.toUtf8().toBase64() + "?= <codes@example.org>";
        QTest::newRow("header injection")
            << u"Tavrel\r\nBcc: all@example.org <codes@example.org>"_s << QByteArray();
        QTest::newRow("quote in the name") << u"Ta\"vrel <codes@example.org>"_s << QByteArray();
        QTest::newRow("not an address") << u"Tavrel <codes>"_s << QByteArray();
    }
    void mailFrom()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, header);
        MailConfig mail;
        QString why;
        QCOMPARE(readMailFrom(text, mail, &why), !header.isEmpty());
        QCOMPARE(mail.fromHeader, header.isEmpty() ? MailConfig().fromHeader : header);
        if (!header.isEmpty())
            QCOMPARE(mail.envelopeFrom, QByteArray("codes@example.org"));
    }

    void secretFile_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("secret"); // empty: refused
        QTest::addColumn<QString>("why");
        QTest::newRow("owner only") << QByteArray("p a ss\nmore") << 0600 << QByteArray("p a ss")
                                    << QString();
        QTest::newRow("read-only, CRLF") << QByteArray("pass\r\n") << 0400 << QByteArray("pass") << QString();
        QTest::newRow("group may read") << QByteArray("pass") << 0640 << QByteArray() << u"(mode 0640)"_s;
        QTest::newRow("anyone may read") << QByteArray("pass") << 0604 << QByteArray() << u"(mode 0604)"_s;
        QTest::newRow("empty first line") << QByteArray("\npass") << 0600 << QByteArray() << u"is empty"_s;
    }
    void secretFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, mode);
        QFETCH(QByteArray, secret);
        QFETCH(QString, why);
        QByteArray read;
        QString reason;
        QCOMPARE(readSecretFile(write(u"mail-secret"_s, contents, mode), &read, &reason), !secret.isEmpty());
        QCOMPARE(read, secret);
        QVERIFY2(reason.contains(why), qPrintable(reason));
        // What refuses it never shows the secret.
        QVERIFY(!reason.contains(QString::fromUtf8(contents.trimmed())));
    }

    void endpoint_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("IPv4") << u"127.0.0.1:9100"_s << u"127.0.0.1"_s << 9100;
        QTest::newRow("IPv6") << u"[::1]:0"_s << u"::1"_s << 0;
        QTest::newRow("IPv6 without brackets") << u"::1:9100"_s << QString() << 0;
        QTest::newRow("a host name") << u"localhost:9100"_s << QString() << 0;
        QTest::newRow("no port") << u"127.0.0.1"_s << QString() << 0;
    }
    void endpoint()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QHostAddress readAddress;
        int readPort = -1;
        QString why;
        QCOMPARE(readEndpoint(text, &readAddress, &readPort, &why), !address.isEmpty());
        if (!address.isEmpty()) {
            QCOMPARE(readAddress, QHostAddress(address));
            QTEST(readPort, "port");
        }
    }

    // --min-free-disk, and through it --upload-quota's sizes. -1: refused.
    void freeDisk_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("percent");
        QTest::newRow("size last") << u"5%,1G"_s << (qint64(1) << 30) << 5;
        QTest::newRow("size first, blanks") << u" 512M , 10% "_s << (qint64(512) << 20) << 10;
        QTest::newRow("share alone") << u"7%"_s << qint64(0) << 7;
        QTest::newRow("share over 100") << u"101%"_s << qint64(-1) << 0;
        QTest::newRow("negative") << u"-1G"_s << qint64(-1) << 0;
        QTest::newRow("unknown unit") << u"1T"_s << qint64(-1) << 0;
        QTest::newRow("overflow") << u"9999999999999G"_s << qint64(-1) << 0;
    }
    void freeDisk()
    {
        QFETCH(QString, text);
        QFETCH(qint64, bytes);
        Config config;
        QString why;
        QCOMPARE(readFreeDisk(text, config, &why), bytes >= 0);
        QCOMPARE(why.isEmpty(), bytes >= 0);
        if (bytes >= 0) {
            QCOMPARE(config.minFreeBytes, bytes);
            QTEST(config.minFreePercent, "percent");
            // Sizes are shown in the form they are read in.
            qint64 again = -1;
            QVERIFY(bytes == 0 || (readSize(sizeText(bytes), &again, &why) && again == bytes));
        }
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
