#include "configvalues.h"
#include "files.h"
#include "options.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

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
        QFile::remove(path);
        if (!::write(path, bytes) || ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) != 0)
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    std::optional<OptionParser> m_parser;
    Config m_config;

    // Parses the command line into a fresh parser and config, with "--config
    // FILE" when a file is given; defaultFile: the file read when none is named.
    bool parse(const QStringList &arguments, const QString &file = {}, const QString &defaultFile = {})
    {
        m_parser.emplace(defaultFile.isNull() ? m_dir.filePath(u"absent.conf"_s) : defaultFile);
        m_config = Config();
        return m_parser->parse(QStringList{u"tavrel-server"_s} +
                                   (file.isNull() ? QStringList() : QStringList{u"--config"_s, file}) +
                                   arguments,
                               m_config);
    }

private slots:
    // The value read from the file, or the file's faults, each after "FILE:" (the
    // file's own name may hold what arg() would take for a place of its own).
    void configFile_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("errors");
        const auto row = [](const char *tag, const QByteArray &text, const QString &value,
                            const QStringList &errors = {}) {
            QTest::newRow(tag) << text << value << errors;
        };
        row("comments and blank lines", "# one\n; port = 8\n\r\n  port=7  \n", u"7"_s);
        row("quoted comma", "mail-from = \"T, Inc <a@b.org>\"\n", u"T, Inc <a@b.org>"_s);
        row("unquoted comma", "mail-from = T, Inc <a@b.org>\n", u"T, Inc <a@b.org>"_s);
        row("# comment after a value", "mail = smtp://mail.example.org   # or smtps://host, or sendmail\n",
            u"smtp://mail.example.org"_s);
        row("; comment after a value", "port = 7;8\n", u"7"_s);
        row("comment characters quoted or escaped", "data = \" #1; \"\\#2\\;\\\\\\\" # three\n",
            u" #1; #2;\\\""_s);
        row("quotes within a value", "mail-from = \"T, Inc\" <a@b.org>\n", u"T, Inc <a@b.org>"_s);
        row("byte order mark, [General]", "\xef\xbb\xbf[General]\nport = 7\n", u"7"_s);
        row("flag on", "tls-required = yes\n", u"yes"_s);
        row("key in a section", "[server]\nport = 7\n", {}, {u"FILE:2: unknown key 'server/port'"_s});
        row("given twice, file %L1", "port = 7\n\nport = 8\n", {},
            {u"FILE:3: key 'port' is given again (first at line 1)"_s});
        row("quote not closed", "data = \"x # y\n", {},
            {u"FILE:1: key 'data': a double quote is not closed"_s});
        // QSettings read C escapes, \n included; no value has a use for them.
        row("other escapes", "data = \"C:\\new\"\n", {},
            {u"FILE:1: key 'data': a backslash keeps only \\, \", # or ; after it"_s});
        row("flag with a value", "tls-required = maybe\n", {},
            {u"invalid value for key 'tls-required' at FILE:1: maybe (expected true or false)"_s});
        row("options of the command line only", "config = x\ncheck-config = true\nhelp = true\n", {},
            {u"FILE:1: unknown key 'config'"_s, u"FILE:2: unknown key 'check-config'"_s,
             u"FILE:3: unknown key 'help'"_s});
        row("every fault, in line order", "b = 1\nport\nport = 1\na = 2\n", {},
            {u"FILE:1: unknown key 'b'"_s, u"FILE:2: expected 'key = value', got 'port'"_s,
             u"FILE:4: unknown key 'a'"_s});
        // The README's config lines and the package's sample config, with every
        // option uncommented, read without a fault: the lines that match a pattern, with
        // its first group in place of the match.
        const auto matchingLines = [](const QString &path, const QString &pattern) {
            const QRegularExpression line(pattern);
            QStringList lines = QString::fromUtf8(contents(path)).split(u'\n').filter(line);
            return lines.replaceInStrings(line, u"\\1"_s).join(u'\n').toUtf8() + '\n';
        };
        const QByteArray readme = matchingLines(QStringLiteral(TAVREL_README), u"^    ([a-z-]+ = .*)$"_s);
        const QByteArray sample = matchingLines(QStringLiteral(TAVREL_SAMPLE_CONFIG), u"^#([a-z-]+ = .*)$"_s);
        QVERIFY(readme.count('\n') >= 10 && sample.count('\n') >= qsizetype(options().size()));
        row("README", readme, {});
        row("sample config", sample, {});
    }
    void configFile()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, value);
        QFETCH(QStringList, errors);
        const QString file =
            write(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'-') + u".conf"_s, text);
        QCOMPARE(parse({}, file), errors.isEmpty());
        QCOMPARE(m_parser->errors(), errors.replaceInStrings(u"FILE"_s, file));
        const QString option =
            QString::fromUtf8(text.mid(text.lastIndexOf('\n', -3) + 1).split('=').value(0)).trimmed();
        if (!value.isNull()) {
            QVERIFY(m_parser->isSet(option));
            QCOMPARE(m_parser->value(option), value);
            QCOMPARE(m_parser->origin(option),
                     u"key '%1' at %2:%3"_s.arg(option, file).arg(text.count('\n')));
        }
    }

    // Each kind of range the options have: the highest (or lowest) value it takes
    // and the next one, which is refused with the option's name. Options that
    // share a kind share its reader, whose bounds are tried once. A file's values
    // go through the same readers (configFile's row "flag with a value").
    void ranges_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("taken");
        QTest::addColumn<QString>("refused");
        QTest::addColumn<QString>("range");
        const auto row = [](const QString &option, const QString &taken, const QString &refused,
                            const QString &range) {
            QTest::newRow(qPrintable(option + u' ' + refused)) << option << taken << refused << range;
        };
        const QString count = u"1 to 2147483647"_s;
        row(u"port"_s, u"65535"_s, u"65536"_s, u"0 to 65535"_s);
        row(u"max-connections"_s, u"1"_s, u"0"_s, count);
        row(u"max-per-address"_s, u"2147483647"_s, u"2147483648"_s, count);
        row(u"login-timeout"_s, u"2147483"_s, u"2147484"_s, u"1 to 2147483"_s);
        row(u"lockout-seconds"_s, u"0"_s, u"-1"_s, u"0 to 2147483647"_s);
        row(u"resend-seconds"_s, u"86400"_s, u"86401"_s, u"0 to 86400"_s);
        row(u"pwhash-ops"_s, u"4294967295"_s, u"4294967296"_s, u"1 to 4294967295"_s);
        row(u"pwhash-mem"_s, u"8192"_s, u"8191"_s, u"8192 to 4398046510080"_s);
    }
    void ranges()
    {
        QFETCH(QString, option);
        QFETCH(QString, taken);
        QFETCH(QString, refused);
        QFETCH(QString, range);
        const auto find = [&option](const Option &o) { return o.name == option; };
        const Option &read = *std::find_if(options().cbegin(), options().cend(), find);
        const QString why = u": %1 (expected a whole number from %2)"_s.arg(refused, range);
        QVERIFY2(parse({u"--"_s + option, taken}), qPrintable(m_parser->errors().join(u'\n')));
        QCOMPARE(read.reader.show(m_config), taken);
        QVERIFY(!parse({u"--"_s + option, refused}));
        QCOMPARE(m_parser->errors(), QStringList{u"invalid value for --"_s + option + why});
    }

    // The file read: the default when none is named, else the one named; an empty name reads
    // none. read: the file's name, or the start of the refusal.
    void whichFile_data()
    {
        QTest::addColumn<QString>("config"); // --config's value; null: none given
        QTest::addColumn<int>("port");       // as the file read sets it; 0: refused
        QTest::addColumn<QString>("read");
        const QString other = write(u"other.conf"_s, "port = 2\n");
        QTest::newRow("default when it exists") << QString() << 1 << write(u"default.conf"_s, "port = 1\n");
        QTest::newRow("the one named") << other << 2 << other;
        QTest::newRow("an empty name reads none") << u""_s << int(Config().port) << QString();
        QTest::newRow("named but missing")
            << m_dir.filePath(u"nowhere.conf"_s) << 0 << u"cannot read the config file "_s;
    }
    void whichFile()
    {
        QFETCH(QString, config);
        QFETCH(int, port);
        QFETCH(QString, read);
        const bool ok = parse({}, config, m_dir.filePath(u"default.conf"_s));
        QCOMPARE(ok ? m_parser->configFile() : m_parser->errors().value(0).left(read.size()), read);
        QCOMPARE(ok ? int(m_config.port) : 0, port);
    }

    // Option values that are more than a number: what each reads as, or "refused:
    // " and the start of why. A secret file's value is its mode and its contents.
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
        Config config;
        const MailConfig &mail = config.mail;
        QByteArray secret;
        QString why, read;
        if (option == u"mail" && readMailTarget(text, config, &why))
            read = (QStringList{u"outbox"_s, u"sendmail"_s, u"smtp"_s}.value(int(mail.transport)) + u' ' +
                    mail.relayUrl)
                       .trimmed();
        else if (option == u"mail-from" && readMailFrom(text, config, &why))
            read = QString::fromUtf8(mail.fromHeader + " / " + mail.envelopeFrom);
        else if (option == u"metrics" && readMetrics(text, config, &why))
            read = config.metricsAddress.toString() + u' ' + QString::number(config.metricsPort);
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
