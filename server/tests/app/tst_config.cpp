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

    // Option values that are more than a number: what each reads as, or "refused: " and the
    // start of why. A secret file's value is its mode and its contents.
    void values_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("result");
        const auto row = [](const char *tag, const QString &option, const QString &text,
                            const QString &result) { QTest::newRow(tag) << option << text << result; };
        row("mail: outbox", u"mail"_s, u"outbox"_s, u"outbox"_s);
        row("mail: submission port", u"mail"_s, u"smtp://mail.example.org"_s,
            u"smtp smtp://mail.example.org:587"_s);
        row("mail: TLS port", u"mail"_s, u"smtps://mail.example.org/"_s,
            u"smtp smtps://mail.example.org:465"_s);
        row("mail: credentials", u"mail"_s, u"smtp://user:pw@mail.example.org"_s,
            u"refused: the user goes into mail-user"_s);
        row("mail: another scheme", u"mail"_s, u"http://mail.example.org"_s, u"refused: expected outbox"_s);
        row("mail: no host", u"mail"_s, u"smtp://"_s, u"refused: "_s);
        const QString from = u" / codes@example.org"_s;
        row("from: address", u"mail-from"_s, u"codes@example.org"_s, u"codes@example.org"_s + from);
        row("from: comma in the name", u"mail-from"_s, u"Tavrel, Inc. <codes@example.org>"_s,
            u"\"Tavrel, Inc.\" <codes@example.org>"_s + from);
        row("from: Chinese name", u"mail-from"_s, u"验证码 <codes@example.org>"_s,
            u"=?UTF-8?B?%1?= <codes@example.org>"_s.arg(
                QString::fromLatin1(u"验证码"_s.toUtf8().toBase64())) +
                from);
        row("from: header injection", u"mail-from"_s, u"Tavrel\r\nBcc: all@example.org <codes@example.org>"_s,
            u"refused: the name may not hold control characters"_s);
        row("from: not an address", u"mail-from"_s, u"Tavrel <codes>"_s,
            u"refused: 'codes' is not a mail address"_s);
        row("secret: owner only", u"secret"_s, u"0600 p a ss\nmore"_s, u"p a ss"_s);
        row("secret: read-only, CRLF", u"secret"_s, u"0400 pass\r\n"_s, u"pass"_s);
        row("secret: group may read", u"secret"_s, u"0640 pass"_s, u"refused: (mode 0640)"_s);
        row("secret: empty first line", u"secret"_s, u"0600 \npass"_s, u"refused: is empty"_s);
        row("metrics: IPv4", u"metrics"_s, u"127.0.0.1:9100"_s, u"127.0.0.1 9100"_s);
        row("metrics: IPv6", u"metrics"_s, u"[::1]:0"_s, u"::1 0"_s);
        row("metrics: IPv6 without brackets", u"metrics"_s, u"::1:9100"_s, u"refused: "_s);
        row("metrics: no port", u"metrics"_s, u"127.0.0.1"_s, u"refused: "_s);
        row("disk: size last", u"min-free-disk"_s, u"5%,1G"_s, u"1073741824 (1G) 5%"_s);
        row("disk: size first, blanks", u"min-free-disk"_s, u" 512M , 10% "_s, u"536870912 (512M) 10%"_s);
        row("disk: share alone", u"min-free-disk"_s, u"7%"_s, u"0 (0) 7%"_s);
        row("disk: share over 100", u"min-free-disk"_s, u"101%"_s, u"refused: "_s);
        row("disk: negative", u"min-free-disk"_s, u"-1G"_s, u"refused: "_s);
        row("disk: unknown unit", u"min-free-disk"_s, u"1T"_s, u"refused: "_s);
        row("disk: overflow", u"min-free-disk"_s, u"9999999999999G"_s, u"refused: "_s);
    }
    void values()
    {
        QFETCH(QString, option);
        QFETCH(QString, text);
        QFETCH(QString, result);
        MailConfig mail;
        Config config;
        QHostAddress address;
        int port = -1;
        QByteArray secret;
        QString why;
        QString read;
        if (option == u"mail" && readMailTarget(text, mail, &why))
            read = (QStringList{u"outbox"_s, u"sendmail"_s, u"smtp"_s}.value(int(mail.transport)) + u' ' +
                    mail.relayUrl)
                       .trimmed();
        else if (option == u"mail-from" && readMailFrom(text, mail, &why))
            read = QString::fromUtf8(mail.fromHeader + " / " + mail.envelopeFrom);
        else if (option == u"metrics" && readEndpoint(text, &address, &port, &why))
            read = address.toString() + u' ' + QString::number(port);
        else if (option == u"min-free-disk" && readFreeDisk(text, config, &why))
            read = u"%1 (%2) %3%"_s.arg(config.minFreeBytes)
                       .arg(sizeText(config.minFreeBytes))
                       .arg(config.minFreePercent);
        else if (option == u"secret" &&
                 readSecretFile(write(u"secret"_s, text.mid(5).toUtf8(), text.left(4).toInt(nullptr, 8)),
                                &secret, &why))
            read = QString::fromUtf8(secret);
        if (!read.isEmpty())
            QCOMPARE(read, result);
        else
            QVERIFY2(result.startsWith(u"refused: "_s) && !why.isEmpty() && why.contains(result.mid(9)),
                     qPrintable(why));
        // What refuses a secret never shows it.
        QVERIFY(option != u"secret"_s || !why.contains(u"pass"_s));
    }
};

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
