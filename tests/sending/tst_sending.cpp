#include "scriptedpeer.h"

#include <QAbstractEventDispatcher>
#include <QDir>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

constexpr int kLockoutMs = 60000;
constexpr int kIntervalMs = 1000;
const QString kTooShort = QStringLiteral("错误：密码长度小于6！");
const QString kMismatch = QStringLiteral("错误：两次输入的密码不一致！");
const QString kLockout = QStringLiteral("延时一分钟后才能再次点击注册");
const QString kTooSoon = QStringLiteral("两次发送需间隔1秒以上");
const QString kTooLong = QStringLiteral("一次只能发送长度2000以内的文本");
const QString kTooLarge = QStringLiteral("文件大小超过63K限制，不能发送：");
const QString kUnsupported = QStringLiteral("不支持该文件类型");
const QByteArray kRaw("a\0b~+^`&c\r\nd\0", 13);

// Salted digests computed apart from this code from the UTF-8 bytes of the password with a
// reference MD5: MD5 as lowercase hex, "qzrt#=" appended, MD5 again.
const QByteArray kSecret1("a557f5ed972a8a5df3ae5a48beef8143");    // "secret1"
const QByteArray kBlanks("ad9011ae2e43ee1de49bcb28b88cfe5a");     // " secret1 "
const QByteArray kSurrogates("b170c899026166e32a2325853268e7f5"); // "😀😁😂"

using PendingTimer = std::pair<QObject *, Qt::TimerType>;

// The pending QTimer::singleShot timers of this thread with this interval, and their types.
QList<PendingTimer> pendingSingleShots(int interval)
{
    QList<PendingTimer> found;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    for (QObject *child : dispatcher->children()) {
        if (qstrcmp(child->metaObject()->className(), "QSingleShotTimer") != 0)
            continue;
        for (const auto &info : dispatcher->registeredTimers(child)) {
            if (info.interval == interval)
                found.append({child, info.timerType});
        }
    }
    return found;
}

// Fires a pending single shot at once.
void fire(const PendingTimer &timer)
{
    QTimerEvent event(0);
    QCoreApplication::sendEvent(timer.first, &event);
}

} // namespace

// What the window sends, byte for byte, to a scripted peer on 127.0.0.1:12345, and the folder
// it opens, whose name holds blanks and Chinese.
class TestSending : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_peer.listen() && QDir::setCurrent(m_dir.path()));
        QVERIFY(write(" 报告.txt", "报告"));
        QVERIFY(write("limit.txt", QByteArray(64512, 'a')) && write("over.txt", QByteArray(64513, 'a')));
        QVERIFY(write("raw.txt", kRaw) && write("locked.txt", "secret"));
        QVERIFY(write("page.html", "<html><body>hi</body></html>\n"));
        QVERIFY(QDir().mkdir("folder.txt"));
        QVERIFY(QFile::setPermissions(path("locked.txt"), QFileDevice::WriteOwner));

        const QByteArray script = "#!/bin/sh\nline=$(printf '[%s]' \"$@\")\nprintf '%s\\n' \"$line\" >> '" +
                                  path("starts").toUtf8() + "'\n";
        QVERIFY(QDir().mkdir("bin") && write("bin/xdg-open", script));
        QVERIFY(QFile::setPermissions(path("bin/xdg-open"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        qputenv("PATH", path("bin").toUtf8() + ':' + qgetenv("PATH"));
    }

    void sends_data()
    {
        QTest::addColumn<QByteArray>(
            "buttons");                     // clicked in turn; sendTextFile: called, as after the type check
        QTest::addColumn<QString>("input"); // the account's name|e-mail|code|password|repeat; "^@": U+0000
        QTest::addColumn<QString>("notice");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QString>("critical"); // the log line of a refusal the user is not told about

        const auto add = [](const char *tag, const char *buttons, const QString &input, const QString &notice,
                            const QByteArray &sent, const QString &critical = QString()) {
            QTest::newRow(tag) << QByteArray(buttons) << input << notice << sent << critical;
        };
        const auto file = [&add](const char *tag, const QString &typed, const QString &notice,
                                 const QByteArray &contents = {}, const char *buttons = "btnSendFile") {
            const int clicks = QByteArray(buttons).count(' ') + 1;
            add(tag, buttons, typed, notice,
                notice.isEmpty() ? fileMessage(typed.toUtf8(), contents).repeated(clicks) : "");
        };
        file("file, relative, leading blank, Chinese", " 报告.txt", "", "报告");
        file("file, 64512 bytes", path("limit.txt"), "", QByteArray(64512, 'a'));
        file("file, separator, zero bytes, CR LF, twice", path("raw.txt"), "", kRaw,
             "btnSendFile btnSendFile");
        file("file, 64513 bytes", path("over.txt"), kTooLarge + path("over.txt"));
        file("directory named like a text file", path("folder.txt"), kUnsupported);
        file("HTML", path("page.html"), kUnsupported);
        file("missing file, markup", "<b>gone</b>.txt", QStringLiteral("该文件不存在：<b>gone</b>.txt"));
        add("file gone before the open", "sendTextFile", path("gone.txt"), "", "",
            "文件不存在:" + path("gone.txt"));
        if (geteuid() != 0) // permissions do not bind the superuser
            add("unreadable file", "btnSendFile", path("locked.txt"), "", "",
                "文件不可读:" + path("locked.txt"));
        // Reports a size of 0 but holds more than the limit.
        const QString smaps = QStringLiteral("/proc/self/smaps");
        QFile probe(smaps);
        if (probe.open(QIODevice::ReadOnly) && QFileInfo(smaps).size() == 0 && probe.readAll().size() > 64512)
            file("more bytes than the reported size", smaps, kTooLarge + smaps, "", "sendTextFile");
        // The repeat "x" would fail a registration: a login must not look at it.
        add("login, 44 bytes", "btnLog", "alice|||secret1|x", "", "l,alice~+^`&" + kSecret1);
        add("login, zero character cuts", "btnLog", "al^@ice|||secret1|", "", "l,al");
        const QByteArray bob = "r,bob~+^`&b@x~+^`&42~+^`&";
        add("different, five", "btnReg", "bob|b@x|42|abcde|abcdefgh", kTooShort, "");
        add("different, long", "btnReg", "bob|b@x|42|secret1|secret2", kMismatch, "");
        add("blanks kept", "btnReg", "bob|b@x|42| secret1 | secret1 ", kLockout, bob + kBlanks);
        // Three characters but six UTF-16 code units.
        add("three surrogate pairs", "btnReg", "bob|b@x|42|😀😁😂|😀😁😂", kLockout, bob + kSurrogates);
        add("zero character cuts", "btnReg", "b^@|||secret1|secret1", kLockout, "r,b");
        add("chat, 2000 Chinese", "btnSend", QString(2000, QChar(0x4F60)), "",
            "c," + QByteArray("\xe4\xbd\xa0").repeated(2000));
        // 2000 characters but 2001 UTF-16 code units.
        add("chat, surrogate pair past the limit", "btnSend", QString(1999, 'a') + "😀", kTooLong, "");
        add("chat, blanks and line breaks only", "btnSend", " \n\t \n", "", "c, \n\t \n");
        add("chat, separator and markup", "btnSend", "<b>x</b>~+^`&", "", "c,<b>x</b>~+^`&");
        add("chat, empty", "btnSend", "", kTooSoon, "");
        add("chat, zero character cuts", "btnSend", "ab^@cd", "", "c,ab");
        add("request, blanks and separator", "btnReceiveFile", " 报告~+^`&b ", "", "fr, 报告~+^`&b ");
    }

    void sends()
    {
        QFETCH(QByteArray, buttons);
        QFETCH(QString, input);
        QFETCH(QString, notice);
        QFETCH(QByteArray, sent);
        QFETCH(QString, critical);

        Widget w;
        QVERIFY(connectToPeer(w, m_peer));
        const QByteArray button = buttons.split(' ').first();
        const bool account = button == "btnLog" || button == "btnReg", chat = button == "btnSend";
        const QStringList values =
            input.replace(QLatin1String("^@"), QString(QChar(0))).split(QLatin1Char('|'));
        const char *edits[] = {"lineEditName", "lineEditEmail", "lineEditCheckCode", "lineEditPasswd",
                               "lineEditPasswd2"};
        for (int i = 0; account && i < 5; ++i)
            type(w, edits[i], values[i]);
        WidgetProbe::setUserName(w, QStringLiteral("carol"));
        if (chat)
            WidgetProbe::textEdit(w, "textEditWrite")->setPlainText(input);
        else if (!account)
            type(w, button == "btnReceiveFile" ? "lineEditFile2" : "lineEditFile", input);
        QFile *fileOut = WidgetProbe::fileOut(w);
        if (!critical.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg, critical.toUtf8().constData());
        if (button == "sendTextFile") {
            // A handle still open on another file must not stand in for the new path.
            fileOut->setFileName(path("raw.txt"));
            QVERIFY(fileOut->open(QIODevice::ReadOnly));
            QCOMPARE(w.sendTextFile(input), !sent.isEmpty());
        } else {
            for (const QByteArray &name : buttons.split(' '))
                click(w, name.constData());
        }

        QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
        QCOMPARE(shown(w), notice);
        QVERIFY(!fileOut->isOpen());
        if (account) {
            QCOMPARE(sendButtonsEnabled(w), 0); // every account click ends the permission to send
            QCOMPARE(WidgetProbe::userName(w), button == "btnLog" ? values[0] : QStringLiteral("carol"));
            const bool locked = notice == kLockout;
            QPushButton *reg = WidgetProbe::button(w, "btnReg");
            QCOMPARE(reg->isEnabled(), !locked);
            const QList<PendingTimer> timers = pendingSingleShots(kLockoutMs);
            QCOMPARE(timers.size(), locked ? 1 : 0);
            if (locked) {
                fire(timers.first());
                QVERIFY(reg->isEnabled());
                QCOMPARE(sendButtonsEnabled(w), 0);
            }
        }
        if (!chat)
            return;
        // A refused text stays for the user to edit, and starts no interval.
        QCOMPARE(shown(w, "textEditWrite"), notice.isEmpty() ? QString() : input);
        QCOMPARE(WidgetProbe::canSend(w), !notice.isEmpty());
        const QList<PendingTimer> timers = pendingSingleShots(kIntervalMs);
        QCOMPARE(timers.size(), notice.isEmpty() ? 1 : 0);
        if (timers.isEmpty())
            return;
        // Within the second a text is refused and stays; after it, it goes out.
        QCOMPARE(timers.first().second, Qt::PreciseTimer);
        WidgetProbe::textEdit(w, "textEditWrite")->setPlainText(input);
        click(w, "btnSend");
        QCOMPARE(shown(w), kTooSoon);
        QCOMPARE(shown(w, "textEditWrite"), input);
        fire(timers.first());
        click(w, "btnSend");
        QCOMPARE(shown(w, "textEditWrite"), QString());
        QVERIFY(!WidgetProbe::canSend(w));
    }

    void openFolder_data()
    {
        QTest::addColumn<QString>("folder"); // empty: the working folder, through the button
        QTest::newRow("button, blanks and Chinese") << QString();
        QTest::newRow("shell characters") << QStringLiteral("/tmp/a'b \"c\" $HOME;d`e`");
        QTest::newRow("leading blank and dash") << QStringLiteral(" -x/y");
    }

    void openFolder()
    {
        QFETCH(QString, folder);

        QFile::remove(path("starts"));
        Widget w;
        if (folder.isEmpty()) {
            folder = m_dir.path();
            click(w, "btnOpenFolder");
        } else {
            w.openFolder(folder);
        }
        QTRY_COMPARE(contents("starts"), "[" + folder.toUtf8() + "]\n");
        QCOMPARE(shown(w), QString());
    }
    // Timers left by windows that are gone would be taken for the next window's.
    void cleanup()
    {
        for (const PendingTimer &timer : pendingSingleShots(kLockoutMs) + pendingSingleShots(kIntervalMs))
            fire(timer);
    }

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }

    ScriptedPeer m_peer;
    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/tavrel 文件夹 XXXXXX")};
};

QTEST_MAIN(TestSending)
#include "tst_sending.moc"
