#include "configvalues.h"
#include "options.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

// The config file and the option values that are more than a number.
class TestConfig : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString write(const QString &name, const QByteArray &bytes,
                  QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.remove();
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        file.close();
        file.setPermissions(permissions);
        return path;
    }

private slots:
    void configFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("value"); // null: not set
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QStringList>("errors"); // each after "FILE:"

        const QStringList none;
        QTest::newRow("value from the file")
            << QByteArray("port = 7\n") << none << u"port"_s << u"7"_s << u"key 'port' at FILE:1"_s << none;
        QTest::newRow("command line wins") << QByteArray("port = 7\n") << QStringList{u"--port"_s, u"8"_s}
                                           << u"port"_s << u"8"_s << u"--port"_s << none;
        QTest::newRow("comments and blank lines are counted")
            << QByteArray("# one\n; two\n\r\n  port=7  \n") << none << u"port"_s << u"7"_s
            << u"key 'port' at FILE:4"_s << none;
        QTest::newRow("commented-out keys")
            << QByteArray("#port = 9\n; port = 8\n#nokey = 1\nport = 7\n") << none << u"port"_s << u"7"_s
            << u"key 'port' at FILE:4"_s << none;
        QTest::newRow("General section") << QByteArray("[General]\nport = 7\n") << none << u"port"_s << u"7"_s
                                         << u"key 'port' at FILE:2"_s << none;
        QTest::newRow("quoted comma")
            << QByteArray("mail-from = \"Tavrel, Inc <a@b.org>\"\n") << none << u"mail-from"_s
            << u"Tavrel, Inc <a@b.org>"_s << u"key 'mail-from' at FILE:1"_s << none;
        QTest::newRow("flag on") << QByteArray("flag = yes\n") << none << u"flag"_s << u""_s
                                 << u"key 'flag' at FILE:1"_s << none;
        QTest::newRow("flag off") << QByteArray("flag = off\n") << none << u"flag"_s << QString()
                                  << u"key 'flag' at FILE:1"_s << none;
        QTest::newRow("not in the file")
            << QByteArray("port = 7\n") << none << u"listen"_s << QString() << u"--listen"_s << none;

        QTest::newRow("unknown key") << QByteArray("port = 7\nprot = 8\n") << none << u"port"_s << u"7"_s
                                     << QString() << QStringList{u"2: unknown key 'prot'"_s};
        QTest::newRow("key in a section")
            << QByteArray("[server]\nport = 7\n") << none << u"port"_s << QString() << QString()
            << QStringList{u"2: unknown key 'server/port'"_s};
        QTest::newRow("line without =")
            << QByteArray("port 7\n") << none << u"port"_s << QString() << QString()
            << QStringList{u"1: expected 'key = value', got 'port 7'"_s};
        QTest::newRow("section not closed")
            << QByteArray("[General\nport = 7\n") << none << u"port"_s << u"7"_s << QString()
            << QStringList{u"1: a section header needs a closing ]"_s};
        QTest::newRow("given twice") << QByteArray("port = 7\n\nport = 8\n") << none << u"port"_s << u"8"_s
                                     << QString()
                                     << QStringList{u"3: key 'port' is given again (first at line 1)"_s};
        QTest::newRow("unquoted comma")
            << QByteArray("mail-from = Tavrel, Inc <a@b.org>\n") << none << u"mail-from"_s << QString()
            << QString()
            << QStringList{u"1: key 'mail-from': a value with a comma must be in double quotes"_s};
        QTest::newRow("flag with a value")
            << QByteArray("flag = maybe\n") << none << u"flag"_s << QString() << QString()
            << QStringList{u"1: key 'flag' takes true or false, got 'maybe'"_s};
        QTest::newRow("options of the command line only")
            << QByteArray("config = x\ncheck-config = true\nhelp = true\n") << none << u"port"_s << QString()
            << QString()
            << QStringList{u"1: unknown key 'config'"_s, u"2: unknown key 'check-config'"_s,
                           u"3: unknown key 'help'"_s};
        // The file's own name may hold what arg() would take for a place of its own.
        QTest::newRow("a file named %1 %2")
            << QByteArray("port = 7\n") << none << u"port"_s << u"7"_s << u"key 'port' at FILE:1"_s << none;
        QTest::newRow("given twice in a file named %L1")
            << QByteArray("port = 7\nport = 8\n") << none << u"port"_s << QString() << QString()
            << QStringList{u"2: key 'port' is given again (first at line 1)"_s};
        QTest::newRow("every fault, in line order")
            << QByteArray("b = 1\nport\nport = 1\na = 2\n") << none << u"port"_s << u"1"_s << QString()
            << QStringList{u"1: unknown key 'b'"_s, u"2: expected 'key = value', got 'port'"_s,
                           u"4: unknown key 'a'"_s};
    }
    void configFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QStringList, arguments);
        QFETCH(QString, option);
        QFETCH(QString, value);
        QFETCH(QString, origin);
        QFETCH(QStringList, errors);
        // A name of its own: QSettings keeps what it read of a file by name, size and time.
        const QString file =
            write(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".conf"_s, text);
        OptionParser parser(m_dir.filePath(u"absent.conf"_s));
        parser.addOption(QCommandLineOption(u"port"_s, u"p"_s, u"port"_s));
        parser.addOption(QCommandLineOption(u"listen"_s, u"l"_s, u"address"_s));
        parser.addOption(QCommandLineOption(u"mail-from"_s, u"m"_s, u"from"_s));
        parser.addOption(QCommandLineOption(u"flag"_s, u"f"_s));
        const bool ok = parser.parse(QStringList{u"tavrel-server"_s, u"--config"_s, file} + arguments);
        QStringList expected;
        for (const QString &error : errors)
            expected.append(file + u':' + error);
        QCOMPARE(parser.errors(), expected);
        QCOMPARE(ok, errors.isEmpty());
        if (!ok)
            return;
        QCOMPARE(parser.isSet(option), !value.isNull());
        QCOMPARE(parser.value(option), value.isNull() ? QString() : value);
        QCOMPARE(parser.origin(option), QString(origin).replace(u"FILE"_s, file));
    }

    void whichFile_data()
    {
        QTest::addColumn<bool>("defaultExists");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("read"); // default, other, or none
        QTest::newRow("default when it exists") << true << QStringList() << u"default"_s;
        QTest::newRow("none when it does not") << false << QStringList() << u"none"_s;
        QTest::newRow("the one named") << true << QStringList{u"--config"_s, u"other"_s} << u"other"_s;
        QTest::newRow("an empty name reads none") << true << QStringList{u"--config="_s} << u"none"_s;
    }
    void whichFile()
    {
        QFETCH(bool, defaultExists);
        QFETCH(QStringList, arguments);
        QFETCH(QString, read);
        const QString defaultFile = write(u"default.conf"_s, "port = 1\n");
        const QString otherFile = write(u"other.conf"_s, "port = 2\n");
        OptionParser parser(defaultExists ? defaultFile : m_dir.filePath(u"absent.conf"_s));
        parser.addOption(QCommandLineOption(u"port"_s, u"p"_s, u"port"_s));
        arguments.replaceInStrings(u"other"_s, otherFile);
        QVERIFY(parser.parse(QStringList{u"tavrel-server"_s} + arguments));
        const QHash<QString, QString> values{
            {u"default"_s, u"1"_s}, {u"other"_s, u"2"_s}, {u"none"_s, QString()}};
        QCOMPARE(parser.value(u"port"_s), values.value(read));
        QCOMPARE(parser.configFile(), read == u"default" ? defaultFile
                                      : read == u"other" ? otherFile
                                                         : QString());
    }

    void missingFileNamed()
    {
        OptionParser parser(QString{});
        QVERIFY(!parser.parse({u"tavrel-server"_s, u"--config"_s, m_dir.filePath(u"nowhere.conf"_s)}));
        QVERIFY2(parser.errors().value(0).startsWith(u"cannot read the config file "_s),
                 qPrintable(parser.errors().join(u'\n')));
    }

    void mailTarget_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("transport"); // -1: refused
        QTest::addColumn<QString>("url");
        const int smtp = int(MailConfig::Transport::Smtp);
        QTest::newRow("outbox") << u"outbox"_s << int(MailConfig::Transport::Outbox) << QString();
        QTest::newRow("sendmail") << u"sendmail"_s << int(MailConfig::Transport::Sendmail) << QString();
        QTest::newRow("submission port")
            << u"smtp://mail.example.org"_s << smtp << u"smtp://mail.example.org:587"_s;
        QTest::newRow("TLS port") << u"smtps://mail.example.org/"_s << smtp
                                  << u"smtps://mail.example.org:465"_s;
        QTest::newRow("IPv6 and a port") << u"smtp://[::1]:2525"_s << smtp << u"smtp://[::1]:2525"_s;
        QTest::newRow("credentials in the address")
            << u"smtp://user:pw@mail.example.org"_s << -1 << QString();
        QTest::newRow("a path") << u"smtp://mail.example.org/x"_s << -1 << QString();
        QTest::newRow("another scheme") << u"http://mail.example.org"_s << -1 << QString();
        QTest::newRow("no host") << u"smtp://"_s << -1 << QString();
        QTest::newRow("a word") << u"postfix"_s << -1 << QString();
    }
    void mailTarget()
    {
        QFETCH(QString, text);
        QFETCH(int, transport);
        QFETCH(QString, url);
        MailConfig mail;
        QString why;
        QCOMPARE(readMailTarget(text, mail, &why), transport >= 0);
        QCOMPARE(why.isEmpty(), transport >= 0);
        if (transport >= 0) {
            QCOMPARE(int(mail.transport), transport);
            QCOMPARE(mail.relayUrl, url);
        }
    }

    void mailFrom_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("header"); // empty: refused
        QTest::addColumn<QByteArray>("envelope");
        QTest::newRow("address") << u"codes@example.org"_s << QByteArray("codes@example.org")
                                 << QByteArray("codes@example.org");
        QTest::newRow("name and address")
            << u"Tavrel <codes@example.org>"_s << QByteArray("\"Tavrel\" <codes@example.org>")
            << QByteArray("codes@example.org");
        QTest::newRow("comma in the name")
            << u"Tavrel, Inc. <codes@example.org>"_s << QByteArray("\"Tavrel, Inc.\" <codes@example.org>")
            << QByteArray("codes@example.org");
        QTest::newRow("Chinese name")
            << u"验证码 <codes@example.org>"_s
            << "=?UTF-8?B?" + u"验证码"_s.toUtf8().toBase64() + "?= <codes@example.org>"
            << QByteArray("codes@example.org");
        QTest::newRow("header injection")
            << u"Tavrel\r\nBcc: all@example.org <codes@example.org>"_s << QByteArray() << QByteArray();
        QTest::newRow("quote in the name")
            << u"Ta\"vrel <codes@example.org>"_s << QByteArray() << QByteArray();
        QTest::newRow("not an address") << u"Tavrel <codes>"_s << QByteArray() << QByteArray();
        QTest::newRow("bracket not closed") << u"Tavrel <codes@example.org"_s << QByteArray() << QByteArray();
    }
    void mailFrom()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, header);
        QFETCH(QByteArray, envelope);
        MailConfig mail;
        QString why;
        QCOMPARE(readMailFrom(text, mail, &why), !header.isEmpty());
        if (!header.isEmpty()) {
            QCOMPARE(mail.fromHeader, header);
            QCOMPARE(mail.envelopeFrom, envelope);
        } else {
            QCOMPARE(mail.fromHeader, MailConfig().fromHeader);
        }
    }

    void secretFile_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QByteArray>("secret"); // empty: refused
        QTest::addColumn<QString>("why");
        QTest::newRow("owner only") << QByteArray("p a ss\n") << 0600 << QByteArray("p a ss") << QString();
        QTest::newRow("read-only, CRLF") << QByteArray("pass\r\n") << 0400 << QByteArray("pass") << QString();
        QTest::newRow("first line only")
            << QByteArray("pass\nmore") << 0600 << QByteArray("pass") << QString();
        QTest::newRow("group may read") << QByteArray("pass") << 0640 << QByteArray() << u"(mode 0640)"_s;
        QTest::newRow("anyone may read") << QByteArray("pass") << 0604 << QByteArray() << u"(mode 0604)"_s;
        QTest::newRow("group may write") << QByteArray("pass") << 0620 << QByteArray() << u"(mode 0620)"_s;
        QTest::newRow("empty") << QByteArray() << 0600 << QByteArray() << u"is empty"_s;
        QTest::newRow("empty first line") << QByteArray("\npass") << 0600 << QByteArray() << u"is empty"_s;
    }
    void secretFile()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, mode);
        QFETCH(QByteArray, secret);
        QFETCH(QString, why);
        const auto bits = [mode](int shift) { return (mode >> shift) & 7; };
        const int qtMode = bits(6) << 12 | bits(6) << 8 | bits(3) << 4 | bits(0);
        const QString path = write(u"mail-secret"_s, contents, QFileDevice::Permissions(qtMode));
        QByteArray read;
        QString reason;
        QCOMPARE(readSecretFile(path, &read, &reason), !secret.isEmpty());
        QCOMPARE(read, secret);
        QVERIFY2(reason.contains(why), qPrintable(reason));
        // What refuses it never shows the secret.
        QVERIFY(contents.isEmpty() || !reason.contains(QString::fromUtf8(contents.trimmed())));
    }

    void endpoint_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("IPv4") << u"127.0.0.1:9100"_s << u"127.0.0.1"_s << 9100;
        QTest::newRow("IPv6") << u"[::1]:9100"_s << u"::1"_s << 9100;
        QTest::newRow("any port") << u"0.0.0.0:0"_s << u"0.0.0.0"_s << 0;
        QTest::newRow("IPv6 without brackets") << u"::1:9100"_s << QString() << 0;
        QTest::newRow("a host name") << u"localhost:9100"_s << QString() << 0;
        QTest::newRow("no port") << u"127.0.0.1"_s << QString() << 0;
        QTest::newRow("port too big") << u"127.0.0.1:65536"_s << QString() << 0;
        QTest::newRow("port not a number") << u"127.0.0.1:http"_s << QString() << 0;
    }
    void endpoint()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QFETCH(int, port);
        QHostAddress readAddress;
        int readPort = -1;
        QString why;
        QCOMPARE(readEndpoint(text, &readAddress, &readPort, &why), !address.isEmpty());
        if (!address.isEmpty()) {
            QCOMPARE(readAddress, QHostAddress(address));
            QCOMPARE(readPort, port);
        }
    }

    // --min-free-disk, and through it --upload-quota's sizes. -1: refused.
    void freeDisk_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<int>("percent");
        QTest::newRow("default") << u"5%,1G"_s << (qint64(1) << 30) << 5;
        QTest::newRow("size first, blanks") << u" 512M , 10% "_s << (qint64(512) << 20) << 10;
        QTest::newRow("share alone") << u"7%"_s << qint64(0) << 7;
        QTest::newRow("bytes alone") << u"4096"_s << qint64(4096) << 0;
        QTest::newRow("lower-case unit") << u"20k"_s << qint64(20 << 10) << 0;
        QTest::newRow("nothing at all") << u"0"_s << qint64(0) << 0;
        QTest::newRow("share over 100") << u"101%"_s << qint64(-1) << 0;
        QTest::newRow("negative") << u"-1G"_s << qint64(-1) << 0;
        QTest::newRow("unknown unit") << u"1T"_s << qint64(-1) << 0;
        QTest::newRow("three parts") << u"1%,2%,3G"_s << qint64(-1) << 0;
        QTest::newRow("overflow") << u"9999999999999G"_s << qint64(-1) << 0;
        QTest::newRow("empty") << QString() << qint64(-1) << 0;
    }
    void freeDisk()
    {
        QFETCH(QString, text);
        QFETCH(qint64, bytes);
        QFETCH(int, percent);
        Config config;
        QString why;
        QCOMPARE(readFreeDisk(text, config, &why), bytes >= 0);
        if (bytes < 0) {
            QVERIFY(!why.isEmpty());
            return;
        }
        QCOMPARE(config.minFreeBytes, bytes);
        QCOMPARE(config.minFreePercent, percent);
        // The default is shown in the form it is read in.
        if (percent == 0 && bytes > 0) {
            qint64 again = -1;
            QVERIFY(readSize(sizeText(bytes), &again, &why));
            QCOMPARE(again, bytes);
        }
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
