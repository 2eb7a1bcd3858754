#include "scriptedpeer.h"

#include <QDir>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

const QByteArray kRaw("a\0b~+^`&c\r\nd\0", 13);
const QString kTooLarge = QStringLiteral("文件大小超过63K限制，不能发送：");
const QString kUnsupported = QStringLiteral("不支持该文件类型");

} // namespace

// The outgoing text file, and the request for a file.
class TestOutgoing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase() { QDir::setCurrent(m_previousDir); }
    void sendFile_data();
    void sendFile();
    void request_data();
    void request();

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
    QVERIFY(write("plain.txt", "hello\n") && write(" 报告.txt", "报告") && write("empty.txt", QByteArray()));
    QVERIFY(write("limit.txt", QByteArray(64512, 'a')) && write("over.txt", QByteArray(64513, 'a')));
    QVERIFY(write("raw.txt", kRaw) && write("locked.txt", "secret"));
    QVERIFY(write("data.csv", "name,size\nplain,6\n") &&
            write("page.html", "<html><body>hi</body></html>\n"));
    QVERIFY(QDir(m_dir.path()).mkdir("folder.txt"));
    QVERIFY(QFile::setPermissions(path("locked.txt"), QFileDevice::WriteOwner));
    // Relative paths are typed against the working directory.
    QVERIFY(QDir::setCurrent(m_dir.path()));
}

void TestOutgoing::sendFile_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("sends");      // clicks; 0: sendTextFile called once, as after the type check
    QTest::addColumn<QString>("notice"); // empty when the file goes out
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("critical"); // the log line of a refusal the user is not told about

    QTest::newRow("absolute path") << path("plain.txt") << 1 << "" << QByteArray("hello\n") << "";
    QTest::newRow("relative, leading blank, Chinese") << " 报告.txt" << 1 << "" << QByteArray("报告") << "";
    QTest::newRow("64512 bytes") << path("limit.txt") << 1 << "" << QByteArray(64512, 'a') << "";
    QTest::newRow("separator, zero bytes, CR LF") << path("raw.txt") << 1 << "" << kRaw << "";
    QTest::newRow("empty file") << path("empty.txt") << 1 << "" << QByteArray() << "";
    QTest::newRow("two sends in a row") << path("raw.txt") << 2 << "" << kRaw << "";
    QTest::newRow("64513 bytes") << path("over.txt") << 1 << kTooLarge + path("over.txt") << QByteArray()
                                 << "";
    QTest::newRow("directory named like a text file")
        << path("folder.txt") << 1 << kUnsupported << QByteArray() << "";
    QTest::newRow("comma-separated values") << path("data.csv") << 1 << kUnsupported << QByteArray() << "";
    QTest::newRow("HTML") << path("page.html") << 1 << kUnsupported << QByteArray() << "";
    QTest::newRow("missing, markup in the name")
        << "<b>gone</b>.txt" << 1 << QStringLiteral("该文件不存在：<b>gone</b>.txt") << QByteArray() << "";
    QTest::newRow("gone before the open")
        << path("gone.txt") << 0 << "" << QByteArray() << "文件不存在:" + path("gone.txt");
    if (geteuid() != 0) // permissions do not bind the superuser
        QTest::newRow("unreadable") << path("locked.txt") << 1 << "" << QByteArray()
                                    << "文件不可读:" + path("locked.txt");
    // Reports a size of 0 but holds more than the limit.
    const QString smaps = QStringLiteral("/proc/self/smaps");
    QFile probe(smaps);
    if (probe.open(QIODevice::ReadOnly) && QFileInfo(smaps).size() == 0 && probe.readAll().size() > 64512)
        QTest::newRow("more bytes than the reported size")
            << smaps << 0 << kTooLarge + smaps << QByteArray() << "";
}

void TestOutgoing::sendFile()
{
    QFETCH(QString, typed);
    QFETCH(int, sends);
    QFETCH(QString, notice);
    QFETCH(QByteArray, contents);
    QFETCH(QString, critical);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    WidgetProbe::lineEdit(w, "lineEditFile")->setText(typed);
    QFile *fileOut = WidgetProbe::fileOut(w);
    const bool sent = notice.isEmpty() && critical.isEmpty();
    if (!critical.isEmpty())
        QTest::ignoreMessage(QtCriticalMsg, critical.toUtf8().constData());
    if (sends == 0) {
        // A handle still open on another file must not stand in for the new path.
        fileOut->setFileName(path("raw.txt"));
        QVERIFY(fileOut->open(QIODevice::ReadOnly));
        QCOMPARE(w.sendTextFile(typed), sent);
    }
    for (int i = 0; i < sends; ++i)
        click(w, "btnSendFile");

    const QByteArray message = "fs," + typed.toUtf8() + "~+^`&" + contents;
    QCOMPARE(receivedBeforeMarker(w, m_peer), sent ? message.repeated(std::max(sends, 1)) : QByteArray());
    QCOMPARE(shown(w), notice);
    QVERIFY(!fileOut->isOpen());
}

void TestOutgoing::request_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("empty") << QString();
    QTest::newRow("Chinese") << QStringLiteral("报告.txt");
    QTest::newRow("blanks and separator") << QStringLiteral(" a~+^`&b ");
}

void TestOutgoing::request()
{
    QFETCH(QString, name);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    WidgetProbe::lineEdit(w, "lineEditFile2")->setText(name);
    click(w, "btnReceiveFile");
    QCOMPARE(receivedBeforeMarker(w, m_peer), "fr," + name.toUtf8());
    QCOMPARE(shown(w), QString());
}

QTEST_MAIN(TestOutgoing)
#include "tst_outgoing.moc"
