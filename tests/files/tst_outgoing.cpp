#include "logcapture.h"
#include "peerconnection.h"
#include "scriptedpeer.h"
#include "widget.h"
#include "widgetinspector.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const QByteArray kSep("~+^`&");
const QString kNotFound = QStringLiteral("该文件不存在：");
const QString kUnsupported = QStringLiteral("不支持该文件类型");
const QString kTooLarge = QStringLiteral("文件大小超过63K限制，不能发送：");

QString messageBox(Widget &w)
{
    return WidgetInspector::textEdit(w, "textEditRead")->toPlainText();
}

QStringList typeLines(const QString &type)
{
    return {"debug: File MIME type:" + type, QStringLiteral("debug: mimeType：") + type};
}

QStringList openLines(const QString &path)
{
    return {"debug: filePath: " + path, "debug: filePath: " + path};
}

} // namespace

class TestOutgoing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { QDir::setCurrent(m_previousDir); }
    void sendFile_data();
    void sendFile();
    void twoSendsInARow();
    void sendTextFile_data();
    void sendTextFile();

private:
    QString path(const QString &name) const { return m_dir.filePath(name); }
    void write(const QString &name, const QByteArray &contents)
    {
        QFile file(path(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(contents), contents.size());
    }

    ScriptedPeer m_peer;
    QTemporaryDir m_dir;
    QString m_previousDir;
};

void TestOutgoing::initTestCase()
{
    QVERIFY(m_peer.listen());
    QVERIFY(m_dir.isValid());
    write(QStringLiteral("plain.txt"), "hello\n");
    write(QStringLiteral(" lead.txt"), "lead");
    write(QStringLiteral("报告.txt"), QStringLiteral("报告").toUtf8());
    write(QStringLiteral("limit.txt"), QByteArray(64512, 'a'));
    write(QStringLiteral("over.txt"), QByteArray(64513, 'a'));
    write(QStringLiteral("raw.txt"), QByteArray("a\0b~+^`&c\r\nd\0", 13));
    write(QStringLiteral("empty.txt"), QByteArray());
    write(QStringLiteral("data.csv"), "name,size\nplain,6\n");
    write(QStringLiteral("page.html"), "<html><body>hi</body></html>\n");
    QVERIFY(QDir(m_dir.path()).mkdir(QStringLiteral("folder.txt")));
    // Relative paths are typed against the working directory.
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
}

void TestOutgoing::sendFile_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("notice"); // empty when nothing is shown
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QStringList>("log");

    const QString plain = path(QStringLiteral("plain.txt"));
    QTest::newRow("absolute path") << plain << QString() << "fs," + plain.toUtf8() + kSep + "hello\n"
                                   << typeLines("text/plain") + openLines(plain) +
                                          QStringList{"debug: file is sent"};
    QTest::newRow("relative path with a leading blank")
        << " lead.txt" << QString() << "fs, lead.txt" + kSep + "lead"
        << typeLines("text/plain") + openLines(" lead.txt") + QStringList{"debug: file is sent"};
    QTest::newRow("Chinese name") << QStringLiteral("报告.txt") << QString()
                                  << "fs," + QStringLiteral("报告.txt").toUtf8() + kSep +
                                         QStringLiteral("报告").toUtf8()
                                  << typeLines("text/plain") + openLines(QStringLiteral("报告.txt")) +
                                         QStringList{"debug: file is sent"};
    const QString limit = path(QStringLiteral("limit.txt"));
    QTest::newRow("64512 bytes") << limit << QString()
                                 << "fs," + limit.toUtf8() + kSep + QByteArray(64512, 'a')
                                 << typeLines("text/plain") + openLines(limit) +
                                        QStringList{"debug: file is sent"};
    const QString over = path(QStringLiteral("over.txt"));
    QTest::newRow("64513 bytes") << over << kTooLarge + over << QByteArray()
                                 << typeLines("text/plain") + openLines(over) +
                                        QStringList{"debug: fail to open file"};
    const QString raw = path(QStringLiteral("raw.txt"));
    QTest::newRow("separator, zero bytes and CR LF unchanged")
        << raw << QString() << "fs," + raw.toUtf8() + kSep + QByteArray("a\0b~+^`&c\r\nd\0", 13)
        << typeLines("text/plain") + openLines(raw) + QStringList{"debug: file is sent"};
    const QString empty = path(QStringLiteral("empty.txt"));
    QTest::newRow("empty file") << empty << QString() << "fs," + empty.toUtf8() + kSep
                                << typeLines("text/plain") + openLines(empty) +
                                       QStringList{"debug: file is sent"};
    QTest::newRow("directory named like a text file")
        << path(QStringLiteral("folder.txt")) << kUnsupported << QByteArray() << typeLines("inode/directory");
    QTest::newRow("comma-separated values")
        << path(QStringLiteral("data.csv")) << kUnsupported << QByteArray() << typeLines("text/csv");
    QTest::newRow("HTML") << path(QStringLiteral("page.html")) << kUnsupported << QByteArray()
                          << typeLines("text/html");
    QTest::newRow("blank before an existing path")
        << " " + plain << kNotFound + " " + plain << QByteArray() << QStringList();
    QTest::newRow("missing, markup in the name")
        << "<b>gone</b>.txt" << kNotFound + "<b>gone</b>.txt" << QByteArray() << QStringList();
    QTest::newRow("empty path") << QString() << kNotFound << QByteArray() << QStringList();
}

void TestOutgoing::sendFile()
{
    QFETCH(QString, typed);
    QFETCH(QString, notice);
    QFETCH(QByteArray, sent);
    QFETCH(QStringList, log);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    WidgetInspector::lineEdit(w, "lineEditFile")->setText(typed);
    QFile *fileOut = WidgetInspector::fileOut(w);
    const QString nameBefore = fileOut->fileName();

    LogCapture capture;
    click(w, "btnSendFile");
    const QStringList lines = capture.lines();

    QCOMPARE(lines, log);
    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QCOMPARE(messageBox(w), notice);
    QCOMPARE(WidgetInspector::lineEdit(w, "lineEditFile")->text(), typed);
    QVERIFY(!fileOut->isOpen());
    // The handle takes the path only once the type has been accepted.
    const bool accepted = log.size() > 2 && log.at(1).endsWith(QLatin1String("text/plain"));
    QCOMPARE(fileOut->fileName(), accepted ? typed : nameBefore);
}

void TestOutgoing::twoSendsInARow()
{
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    const QString raw = path(QStringLiteral("raw.txt"));
    WidgetInspector::lineEdit(w, "lineEditFile")->setText(raw);

    click(w, "btnSendFile");
    click(w, "btnSendFile");

    const QByteArray message = "fs," + raw.toUtf8() + kSep + QByteArray("a\0b~+^`&c\r\nd\0", 13);
    QCOMPARE(receivedBeforeMarker(w, m_peer), message + message);
    QCOMPARE(messageBox(w), QString());
}

void TestOutgoing::sendTextFile_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QStringList>("log");

    const QString gone = path(QStringLiteral("gone.txt"));
    QTest::newRow("gone before the open")
        << gone << false << QString()
        << openLines(gone) + QStringList{"critical: 文件不存在:" + gone, "debug: fail to open file"};
    if (geteuid() != 0) { // permissions do not bind the superuser
        const QString locked = path(QStringLiteral("locked.txt"));
        QTest::newRow("unreadable") << locked << false << QString()
                                    << openLines(locked) + QStringList{"critical: 文件不可读:" + locked,
                                                                       "debug: fail to open file"};
    }
    // Reports a size of 0 but holds far more than the limit.
    const QString reportsNoSize = QStringLiteral("/proc/self/smaps");
    QTest::newRow("more bytes than the reported size")
        << reportsNoSize << false << kTooLarge + reportsNoSize
        << openLines(reportsNoSize) + QStringList{"debug: fail to open file"};
    const QString plain = path(QStringLiteral("plain.txt"));
    QTest::newRow("sent") << plain << true << QString()
                          << openLines(plain) + QStringList{"debug: file is sent"};
}

void TestOutgoing::sendTextFile()
{
    QFETCH(QString, target);
    QFETCH(bool, result);
    QFETCH(QString, notice);
    QFETCH(QStringList, log);

    if (target.endsWith(QLatin1String("locked.txt"))) {
        write(QStringLiteral("locked.txt"), "secret");
        QVERIFY(QFile::setPermissions(target, QFileDevice::WriteOwner));
    }
    if (target.startsWith(QLatin1String("/proc/"))) {
        QFile probe(target);
        QVERIFY(probe.open(QIODevice::ReadOnly));
        if (QFileInfo(target).size() != 0 || probe.readAll().size() <= 64512)
            QSKIP("this system's /proc file does not outgrow its reported size");
    }

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    // A handle still open on another file must not stand in for the new path.
    QFile *fileOut = WidgetInspector::fileOut(w);
    fileOut->setFileName(path(QStringLiteral("raw.txt")));
    QVERIFY(fileOut->open(QIODevice::ReadOnly));

    LogCapture capture;
    QCOMPARE(w.sendTextFile(target), result);
    QCOMPARE(capture.lines(), log);
    QCOMPARE(messageBox(w), notice);
    QVERIFY(!fileOut->isOpen());
    QCOMPARE(fileOut->fileName(), target);
    const QByteArray expected = result ? "fs," + target.toUtf8() + kSep + "hello\n" : QByteArray();
    QCOMPARE(receivedBeforeMarker(w, m_peer), expected);
}

QTEST_MAIN(TestOutgoing)
#include "tst_outgoing.moc"
