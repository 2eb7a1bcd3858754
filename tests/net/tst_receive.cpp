#include "assembler.h"
#include "logcapture.h"
#include "scriptedpeer.h"
#include "testimages.h"
#include "widget.h"
#include "widgetinspector.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

// Every test here binds port 12345 on 127.0.0.1 and works in a fresh working directory.
class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void kinds_data();
    void kinds();
    void peerTextStaysText_data();
    void peerTextStaysText();
    void files_data();
    void files();
    void nameLengthBoundary_data();
    void nameLengthBoundary();
    void emptyReadTouchesNothing();
    void piecesMakeOneMessage_data();
    void piecesMakeOneMessage();
    void oversizedMessageDropped_data();
    void oversizedMessageDropped();
    void fileRequest_data();
    void fileRequest();

private:
    void connectWindow(Widget &w);
    // Sends message from the peer and waits until the window has handled it.
    bool deliver(Widget &w, const QByteArray &message);
    static QTextEdit *edit(Widget &w, const char *name) { return WidgetInspector::textEdit(w, name); }
    static bool sendButtonsEnabled(Widget &w)
    {
        return WidgetInspector::button(w, "btnSend")->isEnabled() &&
               WidgetInspector::button(w, "btnSendFile")->isEnabled() &&
               WidgetInspector::button(w, "btnReceiveFile")->isEnabled();
    }
    static bool cursorAtEnd(QTextEdit *e)
    {
        return e->textCursor().position() == e->document()->characterCount() - 1;
    }
    static QStringList entries()
    {
        return QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System |
                                         QDir::Hidden);
    }
    // What a file that was there before a test row holds: an image for image names.
    static QByteArray earlier(const QString &name)
    {
        return name.contains(QLatin1String(".png")) ? testimages::smallPng(3, 2) : QByteArray("old");
    }
    static QByteArray contents(const QString &name)
    {
        QFile f(name);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    ScriptedPeer m_peer;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

static QByteArray sep()
{
    return QByteArray("\x7e\x2b\x5e\x60\x26");
}

void TestReceive::initTestCase()
{
    QVERIFY(m_peer.listen());
}

void TestReceive::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void TestReceive::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void TestReceive::connectWindow(Widget &w)
{
    const int before = m_peer.connectionCount();
    QTest::mouseClick(WidgetInspector::button(w, "btnConnect"), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return m_peer.connectionCount() > before; }, 5000));
    m_peer.clearReceived();
}

bool TestReceive::deliver(Widget &w, const QByteArray &message)
{
    QSignalSpy ready(WidgetInspector::assembler(w), &tavrel::MessageAssembler::messageReady);
    m_peer.send(message);
    return QTest::qWaitFor([&] { return ready.size() >= 1; }, 10000);
}

void TestReceive::kinds_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("read");
    QTest::addColumn<QString>("users");
    QTest::addColumn<bool>("enabled");

    // The message box starts as "earlier" and the user box as "before".
    const QString success = QStringLiteral("登录成功");
    const QString e = QStringLiteral("earlier\n");
    const QString before = QStringLiteral("before");
    QTest::newRow("chat line") << QByteArray("c,hello") << "a" << e + "hello" << before << false;
    QTest::newRow("chat, comma replaced") << QByteArray("cXhello") << "a" << e + "hello" << before << false;
    QTest::newRow("two chat lines in one message")
        << QByteArray("c,aac,bb") << "a" << e + "aac,bb" << before << false;
    QTest::newRow("chat line, lines inside")
        << QByteArray("c,one\ntwo") << "a" << e + "one\ntwo" << before << false;
    QTest::newRow("registration answer")
        << QStringLiteral("r,注册成功").toUtf8() << "a" << e + "注册成功" << before << false;
    QTest::newRow("login success") << "l," + success.toUtf8() << "alice" << e + success << "我: alice"
                                   << true;
    QTest::newRow("login success, English") << QByteArray("l,succeed to log") << "bob" << e + "succeed to log"
                                            << "我: bob" << true;
    QTest::newRow("login success, empty user name")
        << "l," + success.toUtf8() << "" << e + success << "我: " << true;
    QTest::newRow("login success, other comma byte")
        << "l;" + success.toUtf8() << "a" << e + success << "我: a" << true;
    QTest::newRow("success text with newline") << "l," + success.toUtf8() + "\n"
                                               << "a" << e + success + "\n"
                                               << before << false;
    QTest::newRow("success text with blank")
        << QByteArray("l,succeed to log ") << "a" << e + "succeed to log " << before << false;
    QTest::newRow("success joined to next message") << "l," + success.toUtf8() + "c,hi"
                                                    << "a" << e + success + "c,hi" << before << false;
    QTest::newRow("success in other case")
        << QByteArray("l,Succeed to log") << "a" << e + "Succeed to log" << before << false;
    QTest::newRow("login refused") << QStringLiteral("l,密码错误").toUtf8() << "a" << e + "密码错误" << before
                                   << false;
    QTest::newRow("user list") << QByteArray("o,alice\nbob") << "carol" << e.chopped(1)
                               << "我: carol\nalice\nbob" << false;
    QTest::newRow("user list, empty user name")
        << QByteArray("o,x") << "" << e.chopped(1) << "我: \nx" << false;
    QTest::newRow("c alone") << QByteArray("c") << "a" << e << before << false;
    QTest::newRow("r and comma") << QByteArray("r,") << "a" << e << before << false;
    QTest::newRow("l alone is a refusal") << QByteArray("l") << "a" << e << before << false;
    QTest::newRow("o alone") << QByteArray("o") << "dan" << e.chopped(1) << "我: dan\n" << false;
    QTest::newRow("unknown kind") << QByteArray("x,hello") << "a" << e.chopped(1) << before << false;
    QTest::newRow("malformed UTF-8") << QByteArray("c,a\xff"
                                                   "b")
                                     << "a" << e + QStringLiteral("a\uFFFDb") << before << false;
}

void TestReceive::kinds()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, userName);
    QFETCH(QString, read);
    QFETCH(QString, users);
    QFETCH(bool, enabled);

    Widget w;
    connectWindow(w);
    WidgetInspector::setUserName(w, userName);
    edit(w, "textEditRead")->setPlainText(QStringLiteral("earlier"));
    edit(w, "textEditRead")->moveCursor(QTextCursor::Start);
    edit(w, "textEditUsers")->setPlainText(QStringLiteral("before"));

    QVERIFY(deliver(w, message));
    QCOMPARE(edit(w, "textEditRead")->toPlainText(), read);
    QCOMPARE(edit(w, "textEditUsers")->toPlainText(), users);
    QCOMPARE(sendButtonsEnabled(w), enabled);
    QVERIFY(cursorAtEnd(edit(w, "textEditRead")));
    QVERIFY(entries().isEmpty());
}

void TestReceive::peerTextStaysText_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("shown");

    // The image exists, so a box that took the text for markup would really show it.
    const QString img =
        QStringLiteral("<img src=\"%1\">").arg(QDir::temp().filePath(QStringLiteral("tavrel-dot.png")));
    const QString anchor = QStringLiteral("<a href=\"http://127.0.0.1/\">x</a>");
    const QString bold = QStringLiteral("<b>x</b>");
    QTest::newRow("image in chat") << "c," + img.toUtf8() << "textEditRead" << img;
    QTest::newRow("anchor in registration answer") << "r," + anchor.toUtf8() << "textEditRead" << anchor;
    QTest::newRow("bold login answer") << "l," + bold.toUtf8() << "textEditRead" << bold;
    QTest::newRow("html document in chat") << QByteArray("c,<html><body><p>hi</p>") << "textEditRead"
                                           << "<html><body><p>hi</p>";
    QTest::newRow("user list") << "o," + img.toUtf8() + "\n" + anchor.toUtf8() << "textEditUsers"
                               << QStringLiteral("我: \n") + img + "\n" + anchor;
    QTest::newRow("text file") << "fs,m.txt" + sep() + bold.toUtf8() + img.toUtf8() << "textEditFile"
                               << bold + img;
    // The name is refused for its '<' and '>', and every notice shows it as it came.
    QTest::newRow("received name in notices")
        << "fs,<b>x.txt" + sep() + "x"
        << "textEditRead"
        << QStringLiteral("不能以只写方式文件：<b>x.txt\n收到的文件：<b>x.txt 在文本文件标签页里显示\n"
                          "收到文件：<b>x.txt");
}

void TestReceive::peerTextStaysText()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, box);
    QFETCH(QString, shown);

    QFile dot(QDir::temp().filePath(QStringLiteral("tavrel-dot.png")));
    QVERIFY(dot.open(QIODevice::WriteOnly));
    dot.write(testimages::smallPng(4, 4));
    dot.close();

    Widget w;
    connectWindow(w);
    edit(w, "textEditRead")->clear();
    QVERIFY(deliver(w, message));
    dot.remove();

    QTextEdit *target = edit(w, box.toLatin1().constData());
    QCOMPARE(target->toPlainText(), shown);
    for (QTextBlock block = target->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            QVERIFY(!format.isImageFormat());
            QVERIFY(!format.isAnchor());
            QVERIFY(format.fontWeight() <= QFont::Normal);
        }
    }
}

void TestReceive::files_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("fileTab");
    QTest::addColumn<int>("sceneItems");
    QTest::addColumn<QStringList>("log");

    const QByteArray png = testimages::smallPng(3, 2);
    const QString kept = QStringLiteral("kept");
    const QString fileLine = QStringLiteral("收到的文件：%1 在文本文件标签页里显示");
    const QString imageLine = QStringLiteral("收到的图片：%1 在图片标签页里显示");
    const QString start = QStringLiteral("开始接收文件");
    const auto nameLog = [](const char *name) {
        return QStringLiteral("文件名:  \"%1\"").arg(QString::fromUtf8(name));
    };
    const QString save = QStringLiteral("saveFile start");
    const auto saved = [](const char *name) {
        return QStringLiteral("\"文件: %1已保存\"").arg(QString::fromUtf8(name));
    };
    const QString cannot = QStringLiteral("Cannot open file for writing");

    QTest::newRow("text file") << "fs,a.txt" + sep() + "hello" << QStringList()
                               << QStringList{fileLine.arg("a.txt"), "收到文件：a.txt"} << "a.txt"
                               << QByteArray("hello") << "hello" << 0
                               << QStringList{start, nameLog("a.txt"), save, saved("a.txt")};
    QTest::newRow("text file, renamed")
        << "fs,a.txt" + sep() + "hello" << QStringList{"a.txt", "a3.txt"}
        << QStringList{fileLine.arg("a2.txt"), "收到文件：a.txt, 并改名为：a2.txt"} << "a2.txt"
        << QByteArray("hello") << "hello" << 0 << QStringList{start, nameLog("a.txt"), save, saved("a2.txt")};
    QTest::newRow("path reduced to its last part")
        << "fs,../up.txt" + sep() + "x" << QStringList()
        << QStringList{fileLine.arg("up.txt"), "收到文件：../up.txt, 并改名为：up.txt"} << "up.txt"
        << QByteArray("x") << "x" << 0 << QStringList{start, nameLog("../up.txt"), save, saved("up.txt")};
    QTest::newRow("contents hold separators and zeros")
        << "fs,s.bin" + sep() + QByteArray("a\0b", 3) + sep() << QStringList()
        << QStringList{fileLine.arg("s.bin"), "收到文件：s.bin"} << "s.bin" << QByteArray("a\0b", 3) + sep()
        << QStringLiteral("a") + QChar(0) + "b~+^`&" << 0
        << QStringList{start, nameLog("s.bin"), save, saved("s.bin")};
    QTest::newRow("empty contents") << "fs,e.txt" + sep() << QStringList()
                                    << QStringList{fileLine.arg("e.txt"), "收到文件：e.txt"} << "e.txt"
                                    << QByteArray() << "" << 0
                                    << QStringList{start, nameLog("e.txt"), save, saved("e.txt")};
    QTest::newRow("empty name, open fails")
        << "fs," + sep() + "hello" << QStringList()
        << QStringList{"不能以只写方式文件：", fileLine.arg(""), "收到文件："} << "" << QByteArray()
        << "hello" << 0 << QStringList{start, nameLog(""), save, cannot};
    QTest::newRow("comma byte replaced")
        << "fsXa.txt" + sep() + "hi" << QStringList() << QStringList{fileLine.arg("a.txt"), "收到文件：a.txt"}
        << "a.txt" << QByteArray("hi") << "hi" << 0
        << QStringList{start, nameLog("a.txt"), save, saved("a.txt")};
    QTest::newRow("image") << "fsip.png" + sep() + "bob" + sep() + png << QStringList()
                           << QStringList{imageLine.arg("p.png"), "收到bob 发来的文件：p.png"} << "p.png"
                           << png << kept << 1
                           << QStringList{start, nameLog("p.png"), save, saved("p.png"), "已设置显示图片"};
    QTest::newRow("image, renamed") << "fsip.png" + sep() + "bob" + sep() + png << QStringList{"p.png"}
                                    << QStringList{imageLine.arg("p2.png"),
                                                   "收到bob 发来的文件：p.png, 并改名为：p2.png"}
                                    << "p2.png" << png << kept << 1
                                    << QStringList{start, nameLog("p.png"), save, saved("p2.png"),
                                                   "已设置显示图片"};
    QTest::newRow("image, not an image")
        << "fsip.png" + sep() + "bob" + sep() + "no picture" << QStringList()
        << QStringList{"收到bob 发来的文件：p.png"} << "p.png" << QByteArray("no picture") << kept << 0
        << QStringList{start, nameLog("p.png"), save, saved("p.png"), "Failed to load image"};
    QTest::newRow("image, empty sender")
        << "fsip.png" + sep() + sep() + png << QStringList()
        << QStringList{imageLine.arg("p.png"), "收到 发来的文件：p.png"} << "p.png" << png << kept << 1
        << QStringList{start, nameLog("p.png"), save, saved("p.png"), "已设置显示图片"};
    QTest::newRow("image, open fails")
        << "fsia|b.png" + sep() + "bob" + sep() + png << QStringList()
        << QStringList{"不能以只写方式文件：a|b.png", "收到bob 发来的文件：a|b.png"} << "" << QByteArray()
        << kept << 0 << QStringList{start, nameLog("a|b.png"), save, cannot};
    // The refused name exists already, and is not ours to show.
    QTest::newRow("image, refused name of an existing image")
        << "fsip.png:s" + sep() + "bob" + sep() + png << QStringList{"p.png:s"}
        << QStringList{"不能以只写方式文件：p.png:s", "收到bob 发来的文件：p.png:s"} << "" << QByteArray()
        << kept << 0 << QStringList{start, nameLog("p.png:s"), save, cannot};
    QTest::newRow("image, sender in UTF-8")
        << "fsip.png" + sep() + QStringLiteral("小明").toUtf8() + sep() + png << QStringList()
        << QStringList{imageLine.arg("p.png"), "收到小明 发来的文件：p.png"} << "p.png" << png << kept << 1
        << QStringList{start, nameLog("p.png"), save, saved("p.png"), "已设置显示图片"};
    QTest::newRow("other f kind") << "fr,a.txt" + sep() + "data" << QStringList() << QStringList() << ""
                                  << QByteArray() << kept << 0 << QStringList{start, nameLog("a.txt")};
    QTest::newRow("file without separator")
        << QByteArray("fs,a.txt hello") << QStringList() << QStringList() << "" << QByteArray() << kept << 0
        << QStringList{start, "缺少分隔符的文件消息已丢弃，字节数: 14"};
    QTest::newRow("image without second separator")
        << "fsip.png" + sep() + "bob" << QStringList() << QStringList() << "" << QByteArray() << kept << 0
        << QStringList{start, nameLog("p.png"), "缺少分隔符的文件消息已丢弃，字节数: 16"};
}

void TestReceive::files()
{
    QFETCH(QByteArray, message);
    QFETCH(QStringList, present);
    QFETCH(QStringList, lines);
    QFETCH(QString, stored);
    QFETCH(QByteArray, data);
    QFETCH(QString, fileTab);
    QFETCH(int, sceneItems);
    QFETCH(QStringList, log);

    for (const QString &name : present) {
        QFile f(name);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(earlier(name));
    }
    Widget w;
    connectWindow(w);
    edit(w, "textEditRead")->clear();
    edit(w, "textEditFile")->setPlainText(QStringLiteral("kept"));
    LogCapture capture;
    QVERIFY(deliver(w, message));

    QCOMPARE(edit(w, "textEditRead")->toPlainText(), lines.join(QLatin1Char('\n')));
    QCOMPARE(edit(w, "textEditFile")->toPlainText(), fileTab);
    QCOMPARE(capture.lines(), log);

    QStringList expected = present;
    if (!stored.isEmpty())
        expected.append(stored);
    expected.sort();
    QCOMPARE(entries(), expected);
    for (const QString &name : present)
        QCOMPARE(contents(name), earlier(name));
    if (!stored.isEmpty())
        QCOMPARE(contents(stored), data);
    QVERIFY(!WidgetInspector::fileIn(w)->isOpen());

    QGraphicsScene *scene = WidgetInspector::scene(w);
    QCOMPARE(scene->items().size(), sceneItems);
    if (sceneItems > 0) {
        QGraphicsPixmapItem *item = WidgetInspector::pixmapItem(w);
        QVERIFY(item && scene->items().contains(item));
        QCOMPARE(item->pos(), QPointF(0, 0));
        QCOMPARE(item->pixmap().size(), QSize(3, 2));
    } else {
        QVERIFY(!WidgetInspector::pixmapItem(w));
    }
}

void TestReceive::nameLengthBoundary_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("result");

    const QByteArray name197 = QByteArray(193, 'n') + ".txt";
    QTest::newRow("file, separator at 200") << "fs," + name197 + sep() + "x" << true;
    QTest::newRow("file, separator at 201") << "fs,m" + name197 + sep() + "x" << false;
    QTest::newRow("image, separator at 201") << "fsim" + name197 + sep() + "b" + sep() + "x" << false;
    QTest::newRow("other f kind, separator at 201") << "fr,m" + name197 + sep() << false;
    QTest::newRow("separator at 201, another at 100")
        << "fs," + QByteArray(97, 'n') + "~+^`" + QByteArray(100, 'n') + sep() + "x" << false;
}

void TestReceive::nameLengthBoundary()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, result);

    Widget w;
    QTextEdit *read = edit(w, "textEditRead");
    read->setPlainText(QStringLiteral("earlier"));
    read->moveCursor(QTextCursor::Start);
    edit(w, "textEditFile")->setPlainText(QStringLiteral("kept"));
    QCOMPARE(w.handleMessage(message), result);
    if (result) {
        QCOMPARE(entries().size(), 1);
        QCOMPARE(entries().at(0).size(), 197);
        QVERIFY(cursorAtEnd(read));
    } else {
        QCOMPARE(read->toPlainText(), QStringLiteral("earlier\n文件名太长"));
        QCOMPARE(read->textCursor().position(), 0);
        QCOMPARE(edit(w, "textEditFile")->toPlainText(), QStringLiteral("kept"));
        QVERIFY(entries().isEmpty());
    }
}

void TestReceive::emptyReadTouchesNothing()
{
    Widget w;
    connectWindow(w);
    QTextEdit *read = edit(w, "textEditRead");
    read->setPlainText(QStringLiteral("a\nb"));
    read->moveCursor(QTextCursor::Start);
    bool result = false;
    QVERIFY(QMetaObject::invokeMethod(&w, "ReadInformation", Q_RETURN_ARG(bool, result)));
    QVERIFY(result);
    QCOMPARE(read->textCursor().position(), 0);
    QCOMPARE(read->toPlainText(), QStringLiteral("a\nb"));
    QVERIFY(WidgetInspector::assembler(w)->pending().isEmpty());
}

void TestReceive::piecesMakeOneMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("data");

    // Every piece after the first looks like a file message of its own.
    const int piece = 128 * 1024;
    const QByteArray header = "fs,big.txt" + sep();
    QByteArray text = header + QByteArray(piece - header.size(), 'a');
    const QByteArray stray = "fs,stray.txt" + sep();
    while (text.size() < 1024 * 1024)
        text += stray + QByteArray(piece - stray.size(), char('b' + text.size() / piece % 20));
    QTest::newRow("1 MB text file") << text << piece << tavrel::kFileQuietGapMs / 3 << "big.txt"
                                    << text.mid(header.size());

    QByteArray noise(3 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 13);
    const QByteArray image = testimages::smallPng(3, 2) + noise; // a reader stops at the PNG's end
    QTest::newRow("3 MB image") << "fsip.png" + sep() + "bob" + sep() + image << 512 * 1024
                                << tavrel::kFileQuietGapMs / 3 << "p.png" << image;

    // A long line arrives in several reads even without pauses; a short pause keeps the
    // row clear of the machine's scheduling hiccups.
    const QByteArray chat = "c," + QByteArray(60000, 'x');
    QTest::newRow("long chat line") << chat << 16 * 1024 << 1 << "" << QByteArray();
}

void TestReceive::piecesMakeOneMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(int, pieceSize);
    QFETCH(int, pauseMs);
    QFETCH(QString, stored);
    QFETCH(QByteArray, data);

    Widget w;
    connectWindow(w);
    edit(w, "textEditRead")->clear();
    QSignalSpy ready(WidgetInspector::assembler(w), &tavrel::MessageAssembler::messageReady);
    m_peer.sendInPieces(message, pieceSize, pauseMs);
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 10000);
    QTest::qWait(tavrel::kFileQuietGapMs + 50);
    QCOMPARE(ready.size(), 1);

    if (stored.isEmpty()) {
        QCOMPARE(edit(w, "textEditRead")->toPlainText().toLatin1(), message.mid(2));
        QVERIFY(entries().isEmpty());
        return;
    }
    QCOMPARE(entries(), QStringList{stored});
    QVERIFY(contents(stored) == data);
    const QStringList lines = edit(w, "textEditRead")->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(1).endsWith(QStringLiteral("文件：") + stored));
}

void TestReceive::oversizedMessageDropped_data()
{
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("chat line") << "c," + QByteArray(5000, 'x');
    QTest::newRow("file") << "fs,big.txt" + sep() + QByteArray(50000, 'y');
}

void TestReceive::oversizedMessageDropped()
{
    QFETCH(QByteArray, message);

    Widget w;
    connectWindow(w);
    edit(w, "textEditRead")->clear();
    tavrel::MessageAssembler *assembler = WidgetInspector::assembler(w);
    assembler->setLimits(20000, 1000);
    QSignalSpy ready(assembler, &tavrel::MessageAssembler::messageReady);
    QSignalSpy overflowed(assembler, &tavrel::MessageAssembler::overflowed);

    m_peer.sendInPieces(message, 4096, 1);
    QTRY_COMPARE(overflowed.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!assembler->isDiscarding(), 5000);
    QCOMPARE(ready.size(), 0);
    const QString notice = edit(w, "textEditRead")->toPlainText();
    QVERIFY2(notice.startsWith(QStringLiteral("消息过大，已丢弃：")), qPrintable(notice));
    QVERIFY(!notice.contains(QLatin1Char('\n')));
    QVERIFY(entries().isEmpty());

    // The connection is usable again once it was quiet.
    QVERIFY(deliver(w, "c,after"));
    QCOMPARE(edit(w, "textEditRead")->toPlainText(), notice + QStringLiteral("\nafter"));
}

void TestReceive::fileRequest_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("empty") << QString();
    QTest::newRow("plain") << QStringLiteral("a.txt");
    QTest::newRow("Chinese") << QStringLiteral("报告.txt");
    QTest::newRow("blanks kept") << QStringLiteral(" x y ");
    QTest::newRow("separator") << QStringLiteral("a~+^`&b");
}

void TestReceive::fileRequest()
{
    QFETCH(QString, name);

    Widget w;
    connectWindow(w);
    edit(w, "textEditRead")->setPlainText(QStringLiteral("box"));
    WidgetInspector::lineEdit(w, "lineEditFile2")->setText(name);
    QPushButton *button = WidgetInspector::button(w, "btnReceiveFile");
    button->setEnabled(true);
    LogCapture capture;
    QTest::mouseClick(button, Qt::LeftButton);

    const QByteArray expected = "fr," + name.toUtf8();
    QVERIFY(m_peer.waitForReceived(expected.size()));
    QTest::qWait(20);
    QCOMPARE(m_peer.received(), expected);
    QCOMPARE(WidgetInspector::lineEdit(w, "lineEditFile2")->text(), name);
    QCOMPARE(edit(w, "textEditRead")->toPlainText(), QStringLiteral("box"));
    QVERIFY(capture.lines().isEmpty());
}

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
