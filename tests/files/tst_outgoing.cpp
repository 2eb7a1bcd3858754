#include "logcapture.h"
#include "peerconnection.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const QByteArray kSep("~+^`&");
const QByteArray kRaw("a\0b~+^`&c\r\nd\0", 13);
const QString kNotFound = QStringLiteral("该文件不存在：");
const QString kUnsupported = QStringLiteral("不支持该文件类型");
const QString kTooLarge = QStringLiteral("文件大小超过63K限制，不能发送：");

QStringList typeLog(const QString &type)
{
    return {"debug: File MIME type:" + type, QStringLiteral("debug: mimeType：") + type};
}

// What sending logs once the type is accepted: the path twice, then the outcome.
QStringList openLog(const QString &path, const QStringList &outcome)
{
    return QStringList{"debug: filePath: " + path, "debug: filePath: " + path} + outcome;
}

const QStringList kSentLine{"debug: file is sent"};
const QStringList kFailLine{"debug: fail to open file"};

} // namespace

class TestOutgoing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { QDir::setCurrent(m_previousDir); }
    void sendFile_data();
    void sendFile();
    void sendTextFile_data();
    void sendTextFile();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    bool write(const QString &name, const QByteArray &contents)
    {
        QFile file(path(name));
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
    }

    ScriptedPeer m_peer;
    QTemporaryDir m_dir;
    QString m_previousDir = QDir::currentPath();
};

void TestOutgoing::initTestCase()
{
    QVERIFY(m_peer.listen());
    QVERIFY(write("plain.txt", "hello\n") && write(" lead.txt", "lead") && write("报告.txt", "报告"));
    QVERIFY(write("limit.txt", QByteArray(64512, 'a')) && write("over.txt", QByteArray(64513, 'a')));
    QVERIFY(write("raw.txt", kRaw) && write("empty.txt", QByteArray()) && write("locked.txt", "secret"));
    QVERIFY(write("data.csv", "name,size\nplain,6\n") &&
            write("page.html", "<html><body>hi</body></html>\n"));
    QVERIFY(QDir(m_dir.path()).mkdir("folder.txt"));
    QVERIFY(QFile::setPermissions(path("locked.txt"), QFileDevice::WriteOwner));
    // Relative paths are typed against the working directory.
    QVERIFY(QDir::setCurrent(m_dir.path()));
}

void TestOutgoing::sendFile_data()
{
    QTest::addColumn<QStringList>("typed"); // the path, once per send
    QTest::addColumn<QString>("notice");    // empty when nothing is shown
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QStringList>("log"); // for each send

    auto sent = [](const char *tag, const QString &typed, const QByteArray &contents, int sends = 1) {
        QTest::newRow(tag) << QStringList(sends, typed) << QString() << contents
                           << typeLog("text/plain") + openLog(typed, kSentLine);
    };
    sent("absolute path", path("plain.txt"), "hello\n");
    sent("relative path with a leading blank", " lead.txt", "lead");
    sent("Chinese name", "报告.txt", "报告");
    sent("64512 bytes", path("limit.txt"), QByteArray(64512, 'a'));
    sent("separator, zero bytes, CR LF", path("raw.txt"), kRaw);
    sent("empty file", path("empty.txt"), QByteArray());
    sent("two sends in a row", path("raw.txt"), kRaw, 2);

    auto refused = [](const char *tag, const QString &typed, const QString &notice, const QStringList &log) {
        QTest::newRow(tag) << QStringList{typed} << notice << QByteArray() << log;
    };
    refused("64513 bytes", path("over.txt"), kTooLarge + path("over.txt"),
            typeLog("text/plain") + openLog(path("over.txt"), kFailLine));
    refused("directory named like a text file", path("folder.txt"), kUnsupported, typeLog("inode/directory"));
    refused("comma-separated values", path("data.csv"), kUnsupported, typeLog("text/csv"));
    refused("HTML", path("page.html"), kUnsupported, typeLog("text/html"));
    refused("blank before an existing path", " " + path("plain.txt"), kNotFound + " " + path("plain.txt"),
            {});
    refused("missing, markup in the name", "<b>gone</b>.txt", kNotFound + "<b>gone</b>.txt", {});
    refused("empty path", "", kNotFound, {});
}

void TestOutgoing::sendFile()
{
    QFETCH(QStringList, typed);
    QFETCH(QString, notice);
    QFETCH(QByteArray, contents);
    QFETCH(QStringList, log);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    WidgetProbe::lineEdit(w, "lineEditFile")->setText(typed.first());
    QFile *fileOut = WidgetProbe::fileOut(w);
    const QString nameBefore = fileOut->fileName();

    LogCapture capture;
    for (int i = 0; i < typed.size(); ++i)
        click(w, "btnSendFile");

    QStringList logs;
    QByteArray sent;
    const bool typeAccepted = log.size() > 2;
    for (int i = 0; i < typed.size(); ++i) {
        logs += log;
        if (notice.isEmpty() && typeAccepted)
            sent += "fs," + typed.first().toUtf8() + kSep + contents;
    }
    QCOMPARE(capture.lines(), logs);
    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), notice);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditFile")->text(), typed.first());
    // The handle takes the path only once the type has been accepted, and is closed after.
    QVERIFY(!fileOut->isOpen());
    QCOMPARE(fileOut->fileName(), typeAccepted ? typed.first() : nameBefore);
}

void TestOutgoing::sendTextFile_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QStringList>("log");

    QTest::newRow("sent") << path("plain.txt") << QString() << openLog(path("plain.txt"), kSentLine);
    QTest::newRow("gone before the open")
        << path("gone.txt") << QString()
        << openLog(path("gone.txt"), QStringList{"critical: 文件不存在:" + path("gone.txt")} + kFailLine);
    if (geteuid() != 0) // permissions do not bind the superuser
        QTest::newRow("unreadable") << path("locked.txt") << QString()
                                    << openLog(path("locked.txt"),
                                               QStringList{"critical: 文件不可读:" + path("locked.txt")} +
                                                   kFailLine);
    // Reports a size of 0 but holds more than the limit.
    const QString smaps = QStringLiteral("/proc/self/smaps");
    QTest::newRow("more bytes than the reported size")
        << smaps << kTooLarge + smaps << openLog(smaps, kFailLine);
}

void TestOutgoing::sendTextFile()
{
    QFETCH(QString, target);
    QFETCH(QString, notice);
    QFETCH(QStringList, log);

    if (target.startsWith("/proc/")) {
        QFile probe(target);
        if (!probe.open(QIODevice::ReadOnly) || QFileInfo(target).size() != 0 ||
            probe.readAll().size() <= 64512)
            QSKIP("this system's /proc file does not outgrow its reported size");
    }
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    // A handle still open on another file must not stand in for the new path.
    QFile *fileOut = WidgetProbe::fileOut(w);
    fileOut->setFileName(path("raw.txt"));
    QVERIFY(fileOut->open(QIODevice::ReadOnly));

    LogCapture capture;
    const bool result = w.sendTextFile(target);
    QCOMPARE(capture.lines(), log);
    QCOMPARE(result, log.endsWith(kSentLine.first()));
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), notice);
    QVERIFY(!fileOut->isOpen());
    QCOMPARE(fileOut->fileName(), target);
    QCOMPARE(receivedBeforeMarker(w, m_peer),
             result ? "fs," + target.toUtf8() + kSep + "hello\n" : QByteArray());
}

QTEST_MAIN(TestOutgoing)
#include "tst_outgoing.moc"
