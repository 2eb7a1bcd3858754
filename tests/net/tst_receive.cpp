#include "assembler.h"
#include "scriptedpeer.h"

#include <QDir>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>

#include <fcntl.h>

namespace {

// Waits: nothing shows before the files and images are handled. Cut: each piece that starts
// with a control character is the rest of a cut file, and logs a warning. Gathered: given to
// the window's gatherer back to back, as a fast link brings them, quiet only at "<later>" and
// at the end. OverLimit: an image is past the reader's allocation limit, which the reader logs.
enum Flags { Enabled = 1, Refused = 2, Waits = 4, NoUserName = 8, Cut = 16, Gathered = 32, OverLimit = 64 };
enum Ending { PeerCloses, PeerResets, UserDisconnects, WindowGoes, WindowGoesAtMessage };

// Stands in for the window's fileIn: lets `accept` bytes through, then fails as a full disk
// does. With accept < 0 it writes to /dev/full, so that close() fails to flush. With kRaced
// it takes every byte, and another process creates the first name tried before the open.
constexpr qint64 kRaced = std::numeric_limits<qint64>::max();
struct FailingFile : QFile
{
    explicit FailingFile(qint64 accept)
        : m_accept(accept)
    {}
    bool open(OpenMode mode) override
    {
        if (m_accept == kRaced && ::write(fileName(), "theirs"))
            --m_accept; // once
        if (!QFile::open(mode) || m_accept >= 0)
            return isOpen();
        QFile::close();
        return QFile::open(::open("/dev/full", O_WRONLY), QIODevice::WriteOnly, AutoCloseHandle);
    }
    qint64 writeData(const char *data, qint64 len) override
    {
        const qint64 room = m_accept < 0 ? len : qMin(len, m_accept - pos());
        return room > 0 || len == 0 ? QFile::writeData(data, room) : -1;
    }
    qint64 m_accept;
};

} // namespace

// Works in a directory "work" whose scratch parent holds a file "x" that stands for the rest
// of the disk. The socket tests use 127.0.0.1:12345.
class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(m_root->path()).mkdir("work") && write(m_root->filePath("x"), "outside") &&
                QDir::setCurrent(m_root->filePath("work")));
    }

    void cleanup()
    {
        QDir::setCurrent(m_previous);
        if (!m_mountPoint.isEmpty() && QProcess::execute("umount", {m_mountPoint}) != 0)
            QProcess::execute("umount", {"-l", m_mountPoint});
        m_mountPoint.clear();
        m_root.reset();
    }

    void dispatch_data()
    {
        // "<later>": the quiet gap passes, and the last stored file ages.
        QTest::addColumn<QByteArrayList>("messages");
        QTest::addColumn<QString>("present");       // entries there before: see createEntries
        QTest::addColumn<QByteArray>("box");        // appended to the message box, each line ended by '|'
        QTest::addColumn<QString>("users");         // the user list afterwards
        QTest::addColumn<QByteArrayList>("stored"); // name=contents of the files stored
        QTest::addColumn<QString>("tab");           // the text file tab
        QTest::addColumn<int>("flags");
        QTest::addColumn<qint64>("accept"); // > 0, -1 or kRaced: the file is a FailingFile taking so much
        QTest::addColumn<int>("freeMiB");   // >= 0: a 128 MiB tmpfs over the folder with this much
                                            // free; its floor is 6.4 MiB. Skipped where mounting is
                                            // not allowed.

        const auto add = [](const char *tag, const QByteArrayList &messages, const QByteArray &lines,
                            const QByteArrayList &stored = {}, const QString &tab = "kept", int flags = 0,
                            const char *present = "", qint64 accept = 0, int freeMiB = -1,
                            const char *users = "before") {
            QTest::newRow(tag) << messages << present << lines << users << stored << tab << flags << accept
                               << freeMiB;
        };
        add("second byte not read", {"cXhi"}, "hi|");
        add("registration answer", {"r,注册成功"}, "注册成功|");
        add("login success, English", {"l;succeed to log"}, "succeed to log|", {}, "kept", Enabled, "", 0, -1,
            "我: me");
        add("login success, no user name", {"l,登录成功"}, "登录成功|", {}, "kept", Enabled | NoUserName, "",
            0, -1, "我: ");
        // Only the exact answer of a success enables: a refusal, or a success with more, does not.
        add("success and a newline", {"l,登录成功\n"}, "登录成功\n|");
        add("c alone", {"c"}, "|");
        add("o alone", {"o"}, "", {}, "kept", 0, "", 0, -1, "我: me\n");
        add("unknown kind", {"x,hi"}, "");
        // Taken for markup, these would not show as they came.
        add("chat line, image markup", {"c,<img src=\"dot.png\">"}, "<img src=\"dot.png\">|");
        add("user list, image markup", {"o,a\n<img src=\"dot.png\">"}, "", {}, "kept", 0, "", 0, -1,
            "我: me\na\n<img src=\"dot.png\">");

        // The tab shows only the start of a text that would hold up the window: 292 lines and 64 letters.
        const QByteArray startNote = "文本文件标签页里只显示了文件的开头";
        // The lines of a text file sent as `sent` (empty: as stored), the large one's note between.
        const auto text = [&](const QByteArray &stored, bool large = false, const QByteArray &sent = {}) {
            return "收到的文件：" + stored + " 在文本文件标签页里显示|" +
                   (large ? startNote + "，整个文件已保存为：" + stored + "|" : "") + "收到文件：" +
                   (sent.isEmpty() ? stored : sent + ", 并改名为：" + stored) + "|";
        };
        const auto image = [](const QByteArray &name, bool decoded = true) {
            return (decoded ? "收到的图片：" + name + " 在图片标签页里显示|"
                            : "图片无法显示：" + name + "|") +
                   "收到bob 发来的文件：" + name + "|";
        };
        const QByteArray large(2 << 20, 'x'), a = fileMessage("a.txt", "hello"),
                                              p = imageMessage("p.png", png(3, 2)),
                                              storedP = "p.png=" + png(3, 2);
        const QByteArray markup = "<img src=\"dot.png\">", longName = "fs," + QByteArray(198, 'n') + "~+^`&";
        // One replacement character, not 197, which would make a name no file system takes.
        add("197 bytes not UTF-8", {fileMessage(QByteArray(197, '\xff'), "hi")}, text("\uFFFD"),
            {"\uFFFD=hi"}, "hi");
        add("markup in a file", {fileMessage("m.txt", markup)}, text("m.txt"), {"m.txt=" + markup}, markup);
        // The refused name exists already, and is not the peer's to show.
        add("image, refused name", {imageMessage("p.png:s", png(3, 2))}, "不能以只写方式文件：p.png:s|", {},
            "kept", 0, "p.png:s");
        // Another f kind, a file without its separator, an image without its second: none is stored.
        for (const char *message : {"fr,a~+^`&data", "fs,a.txt", "fsip.png~+^`&bob"})
            add(message, {message}, "", {});
        add("separator at 201", {longName}, "文件名太长|", {}, "kept", Refused);
        // The name's separator is looked for past the kind; the data may hold one.
        add("separator inside the kind", {"fs~+^`&n~+^`&d"}, text("+^`&n"), {"+^`&n=d"}, "d");
        add("separator in an image's data", {imageMessage("p.png", png(3, 2) + "~+^`&")}, image("p.png"),
            {storedP + "~+^`&"}, "kept", Waits);
        // The rest is logged and shown once; a plain message or time between tells it apart.
        add("rest of a renamed file", {a, "\x01rest"},
            text("a2.txt", false, "a.txt") + "收到的文件不完整：a2.txt|", {"a2.txt=hello"}, "hello", Cut,
            "a.txt");
        add("rest in two pieces", {a, "\x01one", "\x02two"}, text("a.txt") + "收到的文件不完整：a.txt|",
            {"a.txt=hello"}, "hello", Cut);
        add("a chat line before the rest", {a, "c,hi", "\x01rest"}, text("a.txt") + "hi|", {"a.txt=hello"},
            "hello");
        add("rest long after", {a, "<later>", "\x01rest"}, text("a.txt"), {"a.txt=hello"}, "hello");
        // A file not stored is not reported as received.
        add("rest of a file not stored", {"fs,a:b~+^`&x", "\x01rest"}, "不能以只写方式文件：a:b|", {}, "x");
        // One byte over each kind's limit; only a file may pass the text limit.
        const QByteArray over(tavrel::kMaxGatheredTextMessage + 1, 't');
        const auto dropped = [](qint64 size) {
            return "消息过大，已丢弃：" + QByteArray::number(size) + " 字节|";
        };
        for (const char *kind : {"c,", "x,"})
            add(kind, {kind + over.chopped(2)}, dropped(over.size()), {}, "kept", Gathered);
        add("file over the text limit", {"fs,big~+^`&" + over}, text("big", true), {"big=" + over},
            QString(4096, 't'), Gathered);
        // Any later piece of the file gathered on its own would be a chat line. The rest is
        // dropped; once the connection was quiet, messages are gathered again.
        add("file over the file limit, its rest, chat",
            {"fs,big~+^`&" + QByteArray(tavrel::kMaxGatheredMessage - 10, 'f'), QByteArray(4096, 'c'),
             "<later>", "c,after"},
            dropped(tavrel::kMaxGatheredMessage + 1) + "after|", {}, "kept", Gathered);
        // What follows an image or a file written off the window's thread waits for it.
        add("text file after an image", {p, fileMessage("t.txt", "text")}, image("p.png") + text("t.txt"),
            {storedP, "t.txt=text"}, "text", Waits);
        add("large text file, an image, chat", {fileMessage("big.txt", large), p, "c,after"},
            text("big.txt", true) + image("p.png") + "after|", {"big.txt=" + large, storedP},
            QString(4096, 'x'), Waits);
        add("long name after an image", {p, longName}, image("p.png") + "文件名太长|", {storedP}, "kept",
            Waits);
        // The second image has more messages waiting behind it than may wait: it is stored, not
        // decoded, and the chat lines follow at once, in order.
        QByteArrayList queue{p, imageMessage("q.png", png(3, 2))};
        QByteArray queued =
            image("p.png") + "等待显示的消息太多，图片已保存，未显示：q.png|收到bob 发来的文件：q.png|";
        for (int i = 0; i < 1001; ++i) {
            queue << "c," + QByteArray::number(i);
            queued += QByteArray::number(i) + '|';
        }
        add("past the waiting messages", queue, queued, {storedP, "q.png=" + png(3, 2)}, "kept", Waits);
        // Each image lies full size at the origin over the earlier one, colour and alpha as sent;
        // one whose pixels pass the reader's limit, which the window sets again, adds nothing.
        QImage alpha(6, 4, QImage::Format_ARGB32);
        alpha.fill(QColor(40, 80, 120, 200));
        alpha.setPixelColor(5, 3, QColor(0, 0, 255, 100));
        const QByteArray huge = declaredPng(8000, 8000, 16, 6, QByteArray(1, '\0'));
        add("past the reader's limit, then alpha",
            {p, imageMessage("huge.png", huge), imageMessage("new.png", encoded(alpha))},
            image("p.png") + image("huge.png", false) + image("new.png"),
            {storedP, "huge.png=" + huge, "new.png=" + encoded(alpha)}, "kept", Waits | OverLimit);

        // Only the raster formats a chat needs are decoded, chosen by their first bytes under any name.
        // Text formats, and what only some plugin reads: never decoded, whatever is installed.
        const auto format = [&](const char *tag, const QByteArray &bytes, bool decoded) {
            add(tag, {imageMessage("p.png", bytes)}, image("p.png", decoded), {"p.png=" + bytes}, "kept",
                Waits);
        };
        QImage small(5, 4, QImage::Format_RGB32);
        small.fill(0x336699);
        const QByteArrayList decoded{"PNG", "JPEG", "BMP", "WEBP"};
        for (const QByteArray &name : decoded + QByteArrayList{"XPM", "XBM", "PPM", "TIFF", "ICO"}) {
            if (QImageWriter::supportedImageFormats().contains(name.toLower()))
                format(name.constData(), encoded(small, name.constData()), decoded.contains(name));
        }
        format("PBM as text", "P1\n2 2\n0 1\n1 0\n", false);
        // A size past what the picture tab holds, refused before its pixels are allocated.
        format("PNG, 30000 x 30000", declaredPng(30000, 30000, 8, 0, QByteArray(30001, '\0')), false);

        // A store that fails leaves nothing behind and reports no success; what was there stays.
        const auto file = [](int size) { return fileMessage("a.txt", QByteArray(size, 'd')); };
        const QByteArray notWritten = "不能以只写方式文件：a.txt|" + startNote + "|";
        const QString start(4096, 'd');
        add("short write", {file(200 * 1024)}, notWritten, {}, start, 0, "", 65536);
        // Written off the window's thread.
        add("large, short write", {file(2 << 20)}, notWritten, {}, start, 0, "", 65536);
        add("large, flush fails at close", {file(2 << 20)}, "不能以只写方式文件：a2.txt|" + startNote + "|",
            {}, start, 0, "a.txt", -1);
        add("name taken while opening", {file(5)}, text("a2.txt", false, "a.txt"),
            {"a.txt=theirs", "a2.txt=ddddd"}, "ddddd", 0, "", kRaced);
        add("large, all written", {file(4 << 20)}, text("a2.txt", true, "a.txt"),
            {"a2.txt=" + QByteArray(4 << 20, 'd')}, start, 0, "a.txt", 4 << 20);
        // Refused before anything is written when less than the floor would remain free.
        add("64 MiB would leave 4 MiB", {file(64 << 20)},
            "磁盘剩余空间不足，文件未保存：a.txt|" + startNote + "|", {}, start, 0, "", 0, 68);
        add("64 MiB would leave 8 MiB", {file(64 << 20)}, text("a.txt", true),
            {"a.txt=" + QByteArray(64 << 20, 'd')}, start, 0, "", 0, 72);
        add("64 MiB onto 32 MiB", {file(64 << 20)}, notWritten, {}, start, 0, "", 0, 32);
    }

    void dispatch()
    {
        QFETCH(QByteArrayList, messages);
        QFETCH(QString, present);
        QFETCH(QByteArray, box);
        QFETCH(QString, users);
        QFETCH(QByteArrayList, stored);
        QFETCH(QString, tab);
        QFETCH(int, flags);
        QFETCH(qint64, accept);
        QFETCH(int, freeMiB);
        const QStringList lines = QString::fromUtf8(box).split(QLatin1Char('|')).first(box.count('|'));

        if (accept < 0 && !QFile::exists("/dev/full"))
            QSKIP("needs /dev/full");
        const qint64 filled = freeMiB < 0 ? 0 : mountNearlyFull(128 * 1024, freeMiB * 1024);
        if (filled < 0)
            QSKIP("cannot mount a tmpfs here");
        QVERIFY(freeMiB < 0 || filled > 0);
        QStringList expected;
        QVERIFY(createEntries(present, expected));
        QImageReader::setAllocationLimit(0);
        Widget w;
        if (accept)
            WidgetProbe::setFileIn(w, new FailingFile(accept));
        WidgetProbe::setUserName(w, flags & NoUserName ? QString() : QStringLiteral("me"));
        QTextEdit *read = WidgetProbe::textEdit(w, "textEditRead");
        read->setPlainText(QStringLiteral("earlier"));
        read->moveCursor(QTextCursor::Start);
        WidgetProbe::textEdit(w, "textEditUsers")->setPlainText(QStringLiteral("before"));
        WidgetProbe::textEdit(w, "textEditFile")->setPlainText(QStringLiteral("kept"));

        // A store that fails or is refused for the space it would leave logs why.
        const QString name = lines.value(0).section(QChar(0xFF1A), -1);
        if ((accept || freeMiB >= 0) && lines.value(0).startsWith(QStringLiteral("不能")))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot write file " + name + " "));
        else if (freeMiB >= 0 && lines.value(0).startsWith(QStringLiteral("磁盘")))
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Not storing " + name + ": "));
        if (flags & OverLimit)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("allocation limit"));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        for (const QByteArray &message : std::as_const(messages)) {
            if (message.front() < ' ' && (flags & Cut))
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^文件被截断")));
            if (message == "<later>") {
                WidgetProbe::ageLastStoredFile(w);
                WidgetProbe::assembler(w)->flush();
            } else if (flags & Gathered) {
                WidgetProbe::assembler(w)->append(message);
            } else {
                QCOMPARE(w.handleMessage(message), !(flags & Refused));
            }
        }
        WidgetProbe::assembler(w)->flush();
        if (flags & Waits)
            QCOMPARE(shown(w), QStringLiteral("earlier"));
        QVERIFY(messagesHandled(w));
        QCOMPARE(shown(w), (QStringList{"earlier"} + lines).join(QLatin1Char('\n')));
        QCOMPARE(read->textCursor().atEnd(), !(flags & Refused));
        QCOMPARE(shown(w, "textEditUsers"), users);
        QCOMPARE(shown(w, "textEditFile"), tab);
        QCOMPARE(sendButtonsEnabled(w), flags & Enabled ? 3 : 0);
        const QStringList images = lines.filter(QStringLiteral("收到的图片："));
        QCOMPARE(WidgetProbe::scene(w)->items().size(), images.size());
        for (QGraphicsItem *item : WidgetProbe::scene(w)->items())
            QVERIFY(item->pos() == QPointF(0, 0) && item->scale() == 1 && !item->transform().isScaling());
        if (!images.isEmpty()) {
            const QImage last(images.last().section(QChar(0xFF1A), 1).section(QLatin1Char(' '), 0, 0));
            QCOMPARE(WidgetProbe::pixmapItem(w)->boundingRect(), QRectF(QPointF(0, 0), last.size()));
            QCOMPARE(WidgetProbe::pixmapItem(w)->pixmap().toImage().convertToFormat(
                         QImage::Format_ARGB32_Premultiplied),
                     last.convertToFormat(QImage::Format_ARGB32_Premultiplied));
        }
        if (freeMiB >= 0) {
            QCOMPARE(QFileInfo("fill").size(), filled);
            QVERIFY(QFile::remove("fill"));
        }
        checkStored(expected, stored);
    }

    void storedNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("present"); // as for dispatch
        QTest::addColumn<QString>("stored");  // empty: refused

        // Tagged by the name, and by what is there before.
        const auto row = [](const QString &name, const QString &present, const QString &stored,
                            const QString &tag = QString()) {
            QTest::newRow(
                qPrintable(tag.isEmpty() ? name + (present.isEmpty() ? "" : " beside ") + present : tag))
                << name << present << stored;
        };
        for (const char *name : {"../x", "..\\x", "/x", "C:\\x", "sub/../../x"})
            row(name, "", "x");
        row("sub/keep.txt", "keep.txt", "keep2.txt");
        row("a.txt", "a.txt a3.txt", "a2.txt");
        row("a.txt", "a.txt a2.txt a22.txt", "a3.txt");
        row("a.txt", "l/a.txt", "a2.txt");
        row("notes", "notes notes2.notes", "notes3.notes");
        row("lpt.txt", "lpt.txt", "lpt10.txt"); // lpt2.txt to lpt9.txt would be devices
        row("COM", "COM", "COM10.COM_");        // COM2.COM to COM9.COM would be devices, and all run
        for (const char *name : {":",     "x.txt:stream", "NUL.txt", "con",  "COM1.log", "lpt9",  "COM0.log",
                                 "LPT0",  "COM¹.txt",     "lpt³",    "com²", "CONOUT$",  "a|b",   "a*?",
                                 "\"q\"", "<a>",          "a\tb",    "a\nb", "a\x1b[2J", "a\x7f", ".",
                                 "..",    "sub/..",       "sub/",    ""})
            row(name, "", "");
        row(QStringLiteral("a") + QChar(0) + "b", "", "", "zero");

        // Names past the 255 bytes a file system takes lose the end of their stem.
        const auto n = [](int count) { return QString(count, QLatin1Char('n')); };
        const QString smileys = QString::fromUtf8("😀").repeated(63);
        const QString e251(251, QLatin1Char('e'));
        row(n(300), "", n(255), "300 characters");
        row(n(251) + ".txt", n(251) + ".txt", n(250) + "2.txt", "255 bytes, taken");
        row(n(197), n(197), n(56) + "2." + n(197), "197 bytes without a dot, taken");
        row(smileys + ".txt", "", smileys.chopped(2) + ".txt", "256 bytes of emoji");
        row("AUXX." + e251, "", "AU2." + e251, "shortened to a device name");

        // What the system would run, load or read as configuration is stored under a name it
        // leaves alone: a hidden name loses its dot to the numbering, a runnable type gains a '_'.
        for (const char *type : {"js", "ps1", "library-ms"})
            row(QStringLiteral("x.") + type, "", QStringLiteral("x.") + type + "_");
        row(".bash_profile", "", "2.bash_profile");
        row(".config.json", "", "config2.json");
        row("..cfg", "", "2.cfg");
        row(".dll", "", "2.dll_");
        row("QT.Conf. ", "", "QT.Conf2. ");
        row("desktop.ini", "", "desktop2.ini");
        row("autorun.inf", "", "autorun.inf_");
        row("dwmapi.dll. .", "", "dwmapi.dll_");
        row("x.Url ", "", "x.Url_");
        row("tavrel.exe", "tavrel.exe_", "tavrel2.exe_");
        row("dll", "dll", "dll2.dll_");
        row("app.desktop", "", "app.desktop_");
        row(n(251) + ".dll", "", n(250) + ".dll_", "255 bytes, runnable");
    }

    void storedNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, present);
        QFETCH(QString, stored);

        QStringList expected;
        QVERIFY(createEntries(present, expected));
        Widget w;
        QCOMPARE(w.saveFile(name, "data"), !stored.isEmpty());
        QVERIFY(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
        if (stored.isEmpty())
            QCOMPARE(shown(w), QStringLiteral("不能以只写方式文件：") + name);
        else
            QCOMPARE(name, stored);
        // A link written through would have made "nowhere".
        checkStored(expected,
                    stored.isEmpty() ? QByteArrayList() : QByteArrayList{stored.toUtf8() + "=data"});
    }

    void floods_data()
    {
        QTest::addColumn<QByteArrayList>("messages");
        QTest::addColumn<QStringList>("lines"); // the whole message box, in order
        QTest::addColumn<int>("sceneImages");

        // Every one is stored and reported in order; the scene keeps the last four, and three of
        // 20 Mpx fill its 64 Mpx.
        const auto images = [](const char *tag, int count, const QByteArray &image, int sceneImages) {
            QByteArrayList messages;
            QStringList lines;
            for (int i = 1; i <= count; ++i) {
                const QString stored = i == 1 ? QStringLiteral("big.png") : QString("big%1.png").arg(i);
                messages << imageMessage("big.png", image);
                lines << "收到的图片：" + stored + " 在图片标签页里显示"
                      << "收到bob 发来的文件：big.png" + (i == 1 ? QString() : ", 并改名为：" + stored);
            }
            QTest::newRow(tag) << messages << lines << sceneImages;
        };
        images("50 large images", 50, png(2000, 1500), 4);
        images("past the scene's pixels", 4, png(5000, 4000), 3);
        // The message box keeps the last 100,000 paragraphs and says once that the rest went.
        QByteArrayList chat(2000, "c,"); // 100 lines each
        QStringList kept;
        for (int i = 0; i < 200000; ++i) {
            chat[i / 100] += (i % 100 ? "\n" : "") + QByteArray::number(i);
            if (i > 100000)
                kept << QString::number(i);
        }
        kept << "信息框只保留最近的 100000 段，更早的已移除";
        QTest::newRow("200,000 chat lines") << chat << kept << 0;
    }

    void floods()
    {
        QFETCH(QByteArrayList, messages);
        QFETCH(QStringList, lines);
        QFETCH(int, sceneImages);

        Widget w;
        for (const QByteArray &message : std::as_const(messages))
            QVERIFY(w.handleMessage(message));
        QVERIFY(messagesHandled(w, 120000));
        QTest::qWait(0);
        QCOMPARE(shown(w).split(QLatin1Char('\n')), lines);
        QList<QGraphicsItem *> items = WidgetProbe::scene(w)->items();
        QCOMPARE(items.size(), sceneImages);
        QVERIFY(!sceneImages || items.contains(WidgetProbe::pixmapItem(w)));
        QCOMPARE(created().size(), lines.filter(QRegularExpression("^收到bob")).size());
    }

    void windowGoneWhileBusy_data()
    {
        QTest::addColumn<bool>("image");
        QTest::newRow("decoding, queued behind a busy pool") << true;
        QTest::newRow("storing a large file") << false;
    }

    // The window goes while it decodes an image or writes a large file: it waits for the file,
    // which holds every byte, and nothing reaches a new window, not even one that takes the old
    // one's place in memory.
    void windowGoneWhileBusy()
    {
        QFETCH(bool, image);
        QThreadPool *pool = QThreadPool::globalInstance();
        QSemaphore gate;
        int blocked = 0;
        const auto unblock = qScopeGuard([&] {
            gate.release(blocked);
            pool->waitForDone();
        });
        for (; image && blocked < pool->maxThreadCount(); ++blocked)
            pool->start([&gate] { gate.acquire(); });
        const QByteArray data = image ? png(8, 8) : QByteArray("0123456789abcdef").repeated(1024 * 1024);
        const QString name = image ? "p.png" : "big.txt";

        auto *w = new Widget;
        QVERIFY(w->handleMessage(image ? imageMessage("p.png", data) : fileMessage("big.txt", data)));
        QVERIFY(w->handleMessage("c,after"));
        QVERIFY(WidgetProbe::messagesWaiting(*w));
        delete w;
        QVERIFY(image || contents(name) == data);
        Widget next;
        gate.release(std::exchange(blocked, 0));
        pool->waitForDone();
        QTest::qWait(50); // a result posted meanwhile would arrive now
        QCOMPARE(shown(next), QString());
        QCOMPARE(shown(next, "textEditFile"), QString());
        QCOMPARE(WidgetProbe::scene(next)->items().size(), 0);
        QVERIFY(contents(name) == data);
    }

    void cutMessage_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("ending");
        QTest::addColumn<QString>("lines"); // the message box afterwards

        const QString dropped = QStringLiteral("连接已断开，未收完的文件已丢弃：");
        const QByteArray image = "fsip.png~+^`&bob~+^`&" + png(3, 2).left(20);
        const QByteArray longName = "fs," + QByteArray(198, 'n') + "~+^`&data";
        const auto row = [](const char *tag, const QByteArray &message, Ending ending, const QString &lines) {
            QTest::newRow(tag) << message << int(ending) << lines;
        };
        row("file, server closes", "fs,a.txt~+^`&hel", PeerCloses, dropped + "a.txt");
        row("image, user disconnects", image, UserDisconnects, dropped + "p.png");
        row("image without its sender", "fsip.png~+^`&bo", PeerCloses, dropped + "p.png");
        row("name not complete", "fs,a.tx", PeerCloses, dropped + "7 字节");
        row("name too long", longName, PeerResets, dropped + QString::number(longName.size()) + " 字节");
        // The server's notice that another login took over comes right before its close.
        row("chat line, server closes", "c,replaced", PeerCloses, "replaced");
        row("other f kind", "fr,x~+^`&", PeerCloses, "");
        row("chat line pending, window goes", "c,pending", WindowGoes, "");
        row("file half received, window goes", "fs,half.txt~+^`&" + QByteArray(20000, 'h'), WindowGoes, "");
        // The gatherer's own handler of the chat line that the file's first bytes end.
        row("window goes at a chat line", "fs,half.txt~+^`&hh", WindowGoesAtMessage, "");
    }

    void cutMessage()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, ending);
        QFETCH(QString, lines);

        auto w = std::make_unique<Widget>();
        shortenFileGap(*w);
        QVERIFY(connectToPeer(*w, m_peer));
        tavrel::MessageAssembler *assembler = WidgetProbe::assembler(*w);
        qsizetype pendingAtEnd = -1;
        // Deleted from inside a slot, queued after the window has taken the bytes in and before
        // its quiet gap can end them, or run by the gatherer as it takes bytes in: nothing of it
        // may run afterwards, on the close, the quiet gap or its timers.
        const auto destroy = [&] {
            pendingAtEnd = assembler->pendingSize();
            w.reset();
        };
        if (ending == WindowGoes)
            connect(WidgetProbe::socket(*w), &QTcpSocket::readyRead, this, destroy, Qt::QueuedConnection);
        if (ending == WindowGoesAtMessage) {
            connect(assembler, &tavrel::MessageAssembler::messageReady, this, destroy);
            assembler->append("c,first");
            // An event loop that comes back only after the gap: the next bytes end the chat line.
            QThread::msleep(tavrel::kQuietGapMs + 10);
            assembler->append(message);
        } else {
            QVERIFY(m_peer.send(message));
        }
        // A reset can overtake bytes the window has not read. Checked every few milliseconds,
        // so that the close comes well within the gap.
        QVERIFY(ending == PeerCloses || QTest::qWaitFor([&] {
                    return ending >= WindowGoes ? !w : assembler->pendingSize() > 0 || !shown(*w).isEmpty();
                }));
        QVERIFY(ending != WindowGoes || pendingAtEnd > 0);
        if (ending == PeerResets)
            m_peer.resetClient();
        else if (ending == UserDisconnects)
            click(*w, "btnConnect");
        else
            m_peer.closeClient();
        QTRY_VERIFY(!w || WidgetProbe::socket(*w)->state() == QAbstractSocket::UnconnectedState);
        QTest::qWait(kTestFileGapMs + 50); // and nothing after the gap
        QCOMPARE(w ? shown(*w) : QString(), lines);
        QCOMPARE(created(), QStringList());
    }

    void initTestCase() { QVERIFY(m_peer.listen()); }

private:
    // Mounts a tmpfs of sizeKiB over the working folder, goes into it and fills it with "fill"
    // until freeKiB remain; cleanup() takes it away. Returns the size of "fill", 0 if it could
    // not be made, and -1 where mounting is not allowed.
    qint64 mountNearlyFull(int sizeKiB, int freeKiB)
    {
        const QString mountPoint = QDir::currentPath();
        // mount says why it fails on the test's standard error.
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", QStringLiteral("size=%1k").arg(sizeKiB),
                                        "tavrel-test", mountPoint}) != 0)
            return -1;
        m_mountPoint = mountPoint;
        QFile fill("fill");
        // From the folder below into the mounted one.
        if (!QDir::setCurrent(mountPoint) || !fill.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            return 0;
        const QByteArray block(64 * 1024, 'f');
        while (fill.write(block) == block.size()) {
        }
        return fill.resize(fill.size() - freeKiB * 1024) ? fill.size() : 0;
    }

    QStringList created() const
    {
        const QStringList root =
            QDir(m_root->path())
                .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
        if (root != QStringList{"work", "x"} || contents(m_root->filePath("x")) != "outside")
            return {"<disk changed>"};
        return entries();
    }

    // The entries made by createEntries are unchanged; stored (name=contents) are the only new ones.
    void checkStored(QStringList expected, const QByteArrayList &stored) const
    {
        for (const QString &name : std::as_const(expected))
            QVERIFY(!QFileInfo(name).isFile() || contents(name) == png(3, 2));
        for (const QByteArray &file : stored) {
            expected.append(QString::fromUtf8(file.left(file.indexOf('='))));
            QVERIFY(contents(expected.last()) == file.mid(file.indexOf('=') + 1));
        }
        expected.sort(Qt::CaseInsensitive);
        QCOMPARE(created(), expected);
    }

    // Blank-separated entries: files holding an image; "l/name" a link to the missing "nowhere".
    static bool createEntries(const QString &present, QStringList &names)
    {
        for (const QString &entry : present.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            names.append(entry.mid(entry.indexOf(QLatin1Char('/')) + 1));
            if (!(entry.startsWith("l/") ? QFile::link("nowhere", names.last())
                                         : write(names.last(), png(3, 2))))
                return false;
        }
        return true;
    }

    ScriptedPeer m_peer;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_previous = QDir::currentPath();
    QString m_mountPoint;
};

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
