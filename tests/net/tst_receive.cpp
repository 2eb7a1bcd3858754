#include "assembler.h"
#include "scriptedpeer.h"
#include "testimages.h"
#include "widget.h"
#include "widgetprobe.h"

#include <QDir>
#include <QLoggingCategory>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

namespace {

const QByteArray S("\x7e\x2b\x5e\x60\x26");
enum Flags { Enabled = 1, Refused = 2, Image = 4, NoUserName = 8 };

QStringList entries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
}

// What a file that was there before holds: an image for image names.
QByteArray earlier(const QString &name)
{
    return name.contains(QLatin1String(".png")) ? testimages::smallPng(3, 2) : QByteArray("old");
}

QLoggingCategory::CategoryFilter previousFilter = nullptr;
void withDebugLines(QLoggingCategory *category)
{
    previousFilter(category);
    if (qstrcmp(category->categoryName(), "default") == 0)
        category->setEnabled(QtDebugMsg, true);
}

} // namespace

// Works in a directory "work" whose scratch parent holds a file "x" that stands for the rest
// of the disk. The tests that go through the socket use 127.0.0.1:12345.
class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dispatch_data();
    void dispatch();
    void logLines_data();
    void logLines();
    void piecesMakeOneMessage_data();
    void piecesMakeOneMessage();
    void oversizedMessageDropped_data();
    void oversizedMessageDropped();
    void fileRequest_data();
    void fileRequest();
    void connectionEndsMessage();

private:
    static QTextEdit *edit(Widget &w, const char *name) { return WidgetProbe::textEdit(w, name); }
    void connectWindow(Widget &w)
    {
        const int before = m_peer.connectionCount();
        QTest::mouseClick(WidgetProbe::button(w, "btnConnect"), Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return m_peer.connectionCount() > before; }));
        edit(w, "textEditRead")->clear();
        m_peer.clearReceived();
    }

    ScriptedPeer m_peer;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_previous;
};

void TestReceive::initTestCase()
{
    QVERIFY(m_peer.listen());
    // installFilter runs the new filter at once, so the previous one must be known before.
    previousFilter = QLoggingCategory::installFilter(nullptr);
    QLoggingCategory::installFilter(withDebugLines);
}

void TestReceive::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_root->path()).mkdir(QStringLiteral("work")));
    QFile outside(m_root->filePath(QStringLiteral("x")));
    QVERIFY(outside.open(QIODevice::WriteOnly) && outside.write("outside") == 7);
    m_previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_root->filePath(QStringLiteral("work"))));
}

void TestReceive::cleanup()
{
    QDir::setCurrent(m_previous);
    m_root.reset();
}

void TestReceive::dispatch_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("present");   // files there before, blank-separated
    QTest::addColumn<QStringList>("lines"); // appended to the message box
    QTest::addColumn<QString>("users");     // null: unchanged
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("tab"); // null: unchanged
    QTest::addColumn<int>("flags");

    const QString ok = QStringLiteral("登录成功"), none,
                  f = QStringLiteral("收到的文件：%1 在文本文件标签页里显示"),
                  i = QStringLiteral("收到的图片：%1 在图片标签页里显示"),
                  no = QStringLiteral("不能以只写方式文件：");
    const QByteArray png = testimages::smallPng(3, 2), img = "<img src=\"dot.png\">";
    const auto row = [](const char *tag) -> QTestData & { return QTest::newRow(tag); };
    row("chat line") << QByteArray("c,hello") << "" << QStringList{"hello"} << none << "" << QByteArray()
                     << none << 0;
    row("comma replaced") << QByteArray("cXhi") << "" << QStringList{"hi"} << none << "" << QByteArray()
                          << none << 0;
    row("two chat lines in one") << QByteArray("c,aac,bb") << "" << QStringList{"aac,bb"} << none << ""
                                 << QByteArray() << none << 0;
    row("registration answer") << QStringLiteral("r,注册成功").toUtf8() << "" << QStringList{"注册成功"}
                               << none << "" << QByteArray() << none << 0;
    row("login success") << "l," + ok.toUtf8() << "" << QStringList{ok} << "我: me"
                         << "" << QByteArray() << none << int(Enabled);
    row("login success, English") << QByteArray("l;succeed to log") << "" << QStringList{"succeed to log"}
                                  << "我: me"
                                  << "" << QByteArray() << none << int(Enabled);
    row("login success, no user name") << "l," + ok.toUtf8() << "" << QStringList{ok} << "我: "
                                       << "" << QByteArray() << none << Enabled + NoUserName;
    row("success and a newline") << "l," + ok.toUtf8() + "\n"
                                 << "" << QStringList{ok + "\n"} << none << "" << QByteArray() << none << 0;
    row("success joined to the next")
        << "l," + ok.toUtf8() + "c,x"
        << "" << QStringList{ok + "c,x"} << none << "" << QByteArray() << none << 0;
    row("login refused") << QByteArray("l,wrong") << "" << QStringList{"wrong"} << none << "" << QByteArray()
                         << none << 0;
    row("user list") << QByteArray("o,a\nb") << "" << QStringList() << "我: me\na\nb"
                     << "" << QByteArray() << none << 0;
    row("c alone") << QByteArray("c") << "" << QStringList{""} << none << "" << QByteArray() << none << 0;
    row("l alone") << QByteArray("l") << "" << QStringList{""} << none << "" << QByteArray() << none << 0;
    row("o alone") << QByteArray("o") << "" << QStringList() << "我: me\n"
                   << "" << QByteArray() << none << 0;
    row("unknown kind") << QByteArray("x,hi") << "" << QStringList() << none << "" << QByteArray() << none
                        << 0;
    row("image markup") << "c," + img << "dot.png" << QStringList{img} << none << "" << QByteArray() << none
                        << 0;
    row("anchor markup") << QByteArray("r,<a href=\"http://127.0.0.1/\">x</a>") << ""
                         << QStringList{"<a href=\"http://127.0.0.1/\">x</a>"} << none << "" << QByteArray()
                         << none << 0;
    row("markup in user list") << "o," + img << "dot.png" << QStringList() << "我: me\n" + QString(img) << ""
                               << QByteArray() << none << 0;
    row("markup in a name") << "fs,<b>x.txt" + S << ""
                            << QStringList{no + "<b>x.txt", f.arg("<b>x.txt"), "收到文件：<b>x.txt"} << none
                            << "" << QByteArray() << "" << 0;
    row("markup in a file") << "fs,m.txt" + S + img << "dot.png"
                            << QStringList{f.arg("m.txt"), "收到文件：m.txt"} << none << "m.txt" << img
                            << QString(img) << 0;
    row("file") << "fs,a.txt" + S + "hello"
                << "" << QStringList{f.arg("a.txt"), "收到文件：a.txt"} << none << "a.txt"
                << QByteArray("hello") << "hello" << 0;
    row("file renamed") << "fs,a.txt" + S + "hello"
                        << "a.txt a3.txt" << QStringList{f.arg("a2.txt"), "收到文件：a.txt, 并改名为：a2.txt"}
                        << none << "a2.txt" << QByteArray("hello") << "hello" << 0;
    row("path left behind") << "fs,../x" + S + "in"
                            << "" << QStringList{f.arg("x"), "收到文件：../x, 并改名为：x"} << none << "x"
                            << QByteArray("in") << "in" << 0;
    row("separators and zeros") << "fs,s" + S + QByteArray("\0", 1) + S << ""
                                << QStringList{f.arg("s"), "收到文件：s"} << none << "s"
                                << QByteArray("\0", 1) + S << QString(QChar(0)) + "~+^`&" << 0;
    row("empty file") << "fs,e" + S << "" << QStringList{f.arg("e"), "收到文件：e"} << none << "e"
                      << QByteArray() << "" << 0;
    row("empty name") << "fs," + S + "hi"
                      << "" << QStringList{no, f.arg(""), "收到文件："} << none << "" << QByteArray() << "hi"
                      << 0;
    row("image") << "fsip.png" + S + "bob" + S + png << ""
                 << QStringList{i.arg("p.png"), "收到bob 发来的文件：p.png"} << none << "p.png" << png << none
                 << int(Image);
    row("image renamed") << "fsip.png" + S + "bob" + S + png << "p.png"
                         << QStringList{i.arg("p2.png"), "收到bob 发来的文件：p.png, 并改名为：p2.png"}
                         << none << "p2.png" << png << none << int(Image);
    row("no image") << "fsip.png" + S + "bob" + S + "words"
                    << "" << QStringList{"收到bob 发来的文件：p.png"} << none << "p.png"
                    << QByteArray("words") << none << 0;
    row("image, no sender") << "fsip.png" + S + S + png << ""
                            << QStringList{i.arg("p.png"), "收到 发来的文件：p.png"} << none << "p.png" << png
                            << none << int(Image);
    // The refused name exists already, and is not the peer's to show.
    row("image, refused name") << "fsip.png:s" + S + "bob" + S + png << "p.png:s"
                               << QStringList{no + "p.png:s", "收到bob 发来的文件：p.png:s"} << none << ""
                               << QByteArray() << none << 0;
    row("other f kind") << "fr,a" + S + "data"
                        << "" << QStringList() << none << "" << QByteArray() << none << 0;
    row("file, no separator") << QByteArray("fs,a.txt") << "" << QStringList() << none << "" << QByteArray()
                              << none << 0;
    row("image, one separator") << "fsip.png" + S + "bob"
                                << "" << QStringList() << none << "" << QByteArray() << none << 0;
    const QByteArray n197 = QByteArray(193, 'n') + ".txt";
    row("separator at 200") << "fs," + n197 + S << "" << QStringList{f.arg(n197), "收到文件：" + n197} << none
                            << QString(n197) << QByteArray() << "" << 0;
    row("separator at 201") << "fs,m" + n197 + S << "" << QStringList{"文件名太长"} << none << ""
                            << QByteArray() << none << int(Refused);
    row("image, separator at 201") << "fsim" + n197 + S + "b" + S << "" << QStringList{"文件名太长"} << none
                                   << "" << QByteArray() << none << int(Refused);
}

void TestReceive::dispatch()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, present);
    QFETCH(QStringList, lines);
    QFETCH(QString, users);
    QFETCH(QString, stored);
    QFETCH(QByteArray, data);
    QFETCH(QString, tab);
    QFETCH(int, flags);

    QStringList expected = present.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &name : std::as_const(expected)) {
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(earlier(name)) > 0);
    }
    Widget w;
    WidgetProbe::setUserName(w, flags & NoUserName ? QString() : QStringLiteral("me"));
    edit(w, "textEditRead")->setPlainText(QStringLiteral("earlier"));
    edit(w, "textEditRead")->moveCursor(QTextCursor::Start);
    edit(w, "textEditUsers")->setPlainText(QStringLiteral("before"));
    edit(w, "textEditFile")->setPlainText(QStringLiteral("kept"));

    QCOMPARE(w.handleMessage(message), !(flags & Refused));
    QCOMPARE(edit(w, "textEditRead")->toPlainText(),
             (QStringList{"earlier"} + lines).join(QLatin1Char('\n')));
    QCOMPARE(edit(w, "textEditRead")->textCursor().atEnd(), !(flags & Refused));
    QCOMPARE(edit(w, "textEditUsers")->toPlainText(), users.isNull() ? QStringLiteral("before") : users);
    QCOMPARE(edit(w, "textEditFile")->toPlainText(), tab.isNull() ? QStringLiteral("kept") : tab);
    for (const char *name : {"btnSend", "btnSendFile", "btnReceiveFile"})
        QCOMPARE(WidgetProbe::button(w, name)->isEnabled(), bool(flags & Enabled));
    QCOMPARE(WidgetProbe::scene(w)->items().size(), flags & Image ? 1 : 0);
    if (flags & Image)
        QCOMPARE(WidgetProbe::pixmapItem(w)->pixmap().size(), QSize(3, 2));
    for (const char *name : {"textEditRead", "textEditUsers", "textEditFile"}) {
        for (QTextBlock b = edit(w, name)->document()->begin(); b.isValid(); b = b.next()) {
            for (auto it = b.begin(); !it.atEnd(); ++it)
                QVERIFY(!it.fragment().charFormat().isImageFormat() &&
                        !it.fragment().charFormat().isAnchor());
        }
    }

    for (const QString &name : std::as_const(expected))
        QCOMPARE(contents(name), earlier(name));
    if (!stored.isEmpty()) {
        QCOMPARE(contents(stored), data);
        expected.append(stored);
    }
    expected.sort();
    QCOMPARE(entries(QStringLiteral(".")), expected);
    QCOMPARE(entries(QStringLiteral("..")), (QStringList{"work", "x"}));
    QCOMPARE(contents(QStringLiteral("../x")), QByteArray("outside"));
}

void TestReceive::logLines_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("log");

    const QString start = QStringLiteral("开始接收文件"), save = QStringLiteral("saveFile start");
    QTest::newRow("stored") << "fs,a" + S << QStringList{start, "文件名:  \"a\"", save, "\"文件: a已保存\""};
    QTest::newRow("name too long") << "fs," + QByteArray(198, 'n') + S << QStringList{start, "文件名太长"};
    QTest::newRow("open fails") << "fs," + S
                                << QStringList{start, "文件名:  \"\"", save, "Cannot open file for writing"};
    QTest::newRow("image shown") << "fsip.png" + S + S + testimages::smallPng(1, 1)
                                 << QStringList{start, "文件名:  \"p.png\"", save, "已设置显示图片"};
    QTest::newRow("no image") << "fsip" + S + S
                              << QStringList{start, "文件名:  \"p\"", save, "Failed to load image"};
}

void TestReceive::logLines()
{
    QFETCH(QByteArray, message);
    QFETCH(QStringList, log);

    Widget w;
    for (const QString &line : std::as_const(log))
        QTest::ignoreMessage(QtDebugMsg, line.toUtf8().constData());
    w.handleMessage(message);
}

void TestReceive::piecesMakeOneMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QByteArray>("data"); // stored as "big", empty for a chat line

    // Every piece after the first looks like a file message of its own.
    const int piece = 128 * 1024;
    QByteArray text = "fs,big" + S;
    for (char c = 'a'; text.size() < 1024 * 1024; ++c)
        text += QByteArray(piece - text.size() % piece, c) + "fs,stray" + S;
    QTest::newRow("1 MB text file") << text << piece << tavrel::kFileQuietGapMs / 3 << text.mid(11);
    QByteArray image = testimages::smallPng(3, 2); // a reader stops at the end of the PNG
    for (int k = 0; image.size() < 3 * 1024 * 1024; ++k)
        image += QByteArray::number(k * 2654435761u, 36);
    QTest::newRow("3 MB image") << "fsibig" + S + S + image << piece * 4 << tavrel::kFileQuietGapMs / 3
                                << image;
    // A long line arrives in several reads even without pauses; the short pause keeps the
    // row clear of the machine's scheduling hiccups.
    QTest::newRow("long chat line") << "c," + QByteArray(60000, 'x') << 16 * 1024 << 1 << QByteArray();
}

void TestReceive::piecesMakeOneMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(int, pieceSize);
    QFETCH(int, pauseMs);
    QFETCH(QByteArray, data);

    Widget w;
    connectWindow(w);
    QSignalSpy ready(WidgetProbe::assembler(w), &tavrel::MessageAssembler::messageReady);
    m_peer.sendInPieces(message, pieceSize, pauseMs);
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QTest::qWait(tavrel::kFileQuietGapMs + 50);
    QCOMPARE(ready.size(), 1);
    QCOMPARE(entries(QStringLiteral(".")), data.isEmpty() ? QStringList() : QStringList{"big"});
    QVERIFY(contents(QStringLiteral("big")) == (data.isEmpty() ? QByteArray("<none>") : data));
    if (data.isEmpty())
        QVERIFY(edit(w, "textEditRead")->toPlainText().toLatin1() == message.mid(2));
    else
        QVERIFY(edit(w, "textEditRead")->toPlainText().endsWith(QStringLiteral("文件：big")));
}

void TestReceive::oversizedMessageDropped_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("chat line") << "c," + QByteArray(5000, 'x');
    QTest::newRow("file") << "fs,big" + S + QByteArray(50000, 'y');
}

void TestReceive::oversizedMessageDropped()
{
    QFETCH(QByteArray, message);

    Widget w;
    connectWindow(w);
    tavrel::MessageAssembler *assembler = WidgetProbe::assembler(w);
    assembler->setLimits(20000, 1000);
    QSignalSpy ready(assembler, &tavrel::MessageAssembler::messageReady);
    m_peer.sendInPieces(message, 4096, 1);
    QTRY_VERIFY(assembler->isDiscarding());
    QTRY_VERIFY_WITH_TIMEOUT(!assembler->isDiscarding(), 5000);
    const QString notice = edit(w, "textEditRead")->toPlainText();
    QVERIFY2(notice.startsWith(QStringLiteral("消息过大，已丢弃：")) && !notice.contains(QLatin1Char('\n')),
             qPrintable(notice));
    QVERIFY(entries(QStringLiteral(".")).isEmpty());

    m_peer.send("c,after"); // gathered again once the connection was quiet
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(edit(w, "textEditRead")->toPlainText(), notice + QStringLiteral("\nafter"));
}

void TestReceive::fileRequest_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("empty") << QString();
    QTest::newRow("Chinese") << QStringLiteral("报告.txt");
    QTest::newRow("blanks and separator") << QStringLiteral(" a~+^`&b ");
}

void TestReceive::fileRequest()
{
    QFETCH(QString, name);

    Widget w;
    connectWindow(w);
    WidgetProbe::lineEdit(w, "lineEditFile2")->setText(name);
    WidgetProbe::button(w, "btnReceiveFile")->setEnabled(true);
    QTest::mouseClick(WidgetProbe::button(w, "btnReceiveFile"), Qt::LeftButton);
    QVERIFY(m_peer.waitForReceived(3 + name.toUtf8().size()));
    QTest::qWait(20);
    QCOMPARE(m_peer.received(), "fr," + name.toUtf8());
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditFile2")->text(), name);
    QCOMPARE(edit(w, "textEditRead")->toPlainText(), QString());
}

void TestReceive::connectionEndsMessage()
{
    Widget w;
    connectWindow(w);
    m_peer.send("fs,a" + S + "x");
    m_peer.closeClient();
    QTRY_COMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    connectWindow(w); // well within the quiet gap of a file
    m_peer.send("c,b");
    QTRY_COMPARE(edit(w, "textEditRead")->toPlainText(), QStringLiteral("b"));
    QCOMPARE(contents(QStringLiteral("a")), QByteArray("x"));
}

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
