#include "assembler.h"
#include "scriptedpeer.h"

#include <QBuffer>
#include <QDir>
#include <QImageReader>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>
#include <QThreadPool>

#include <fcntl.h>

namespace {

enum Flags { Enabled = 1, Refused = 2, Image = 4, NoUserName = 8 };

QByteArray encode(const QImage &image, const char *format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return buffer.data();
}

QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(0x336699);
    return encode(image, "PNG");
}

// Pixels that tell each corner apart, in the given format.
QImage corners(int width, int height, QImage::Format format)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(QColor(40, 80, 120, 200));
    image.setPixelColor(0, 0, QColor(255, 0, 0, 255));
    image.setPixelColor(width - 1, height - 1, QColor(0, 0, 255, 100));
    return image.convertToFormat(format);
}

// Noise, which a PNG decoder takes a while over: some 100 ms for 2000 x 2000.
QByteArray slowPng(int side)
{
    QImage image(side, side, QImage::Format_RGB32);
    QRandomGenerator random(1);
    for (int y = 0; y < side; ++y)
        random.fillRange(reinterpret_cast<quint32 *>(image.scanLine(y)), side);
    return encode(image, "PNG");
}

QByteArray imageMessage(const char *name, const QByteArray &image)
{
    return QByteArray("fsi") + name + "~+^`&bob~+^`&" + image;
}

QByteArray fileMessage(const char *name, const QByteArray &contents)
{
    return QByteArray("fs,") + name + "~+^`&" + contents;
}

// Lines of the message box, '|' between them; %T and %P stand for the ends of the notices of
// the text file and picture tabs.
QStringList lineList(const char *text)
{
    if (!text)
        return {};
    QString all = QString::fromUtf8(text);
    all.replace("%T", " 在文本文件标签页里显示").replace("%P", " 在图片标签页里显示");
    return all.split(QLatin1Char('|'));
}

// The message box without the note that the text tab shows only the start of a long file:
// that note holds whether or not the file could be stored.
QString withoutStartNote(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    lines.removeAll(QStringLiteral("文本文件标签页里只显示了文件的开头"));
    return lines.join(QLatin1Char('\n'));
}

// Waits until the window has stored and shown the files and images it was given, and the
// messages after them.
bool handled(Widget &w)
{
    return QTest::qWaitFor([&] { return !WidgetProbe::messagesWaiting(w); }, 10000);
}

// Stands in for the window's fileIn. It lets the first `accept` bytes through and fails
// every write after them, as a disk that fills up does. With accept < 0 it creates the file
// and then writes to /dev/full: writes go into the write buffer, and close() fails to flush it.
class FailingFile : public QFile
{
public:
    explicit FailingFile(qint64 accept)
        : m_accept(accept)
    {}
    bool open(OpenMode mode) override
    {
        if (!QFile::open(mode) || m_accept >= 0)
            return isOpen();
        QFile::close();
        return QFile::open(::open("/dev/full", O_WRONLY), QIODevice::WriteOnly, AutoCloseHandle);
    }

protected:
    qint64 writeData(const char *data, qint64 len) override
    {
        if (m_accept < 0)
            return QFile::writeData(data, len);
        const qint64 written =
            m_accept > m_written ? QFile::writeData(data, qMin(len, m_accept - m_written)) : -1;
        m_written += qMax<qint64>(written, 0);
        return written;
    }

private:
    qint64 m_accept;
    qint64 m_written = 0;
};

} // namespace

// Works in a directory "work" whose scratch parent holds a file "x" that stands for the rest
// of the disk. The socket tests use 127.0.0.1:12345.
class TestReceive : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_peer.listen()); }
    void init();
    void cleanup();
    void dispatch_data();
    void dispatch();
    void storedNames_data();
    void storedNames();
    void imagesInScene_data();
    void imagesInScene();
    void textFileShown_data();
    void textFileShown();
    void messagesWaitForImage_data();
    void messagesWaitForImage();
    void waitingMessagesOneATurn();
    void windowGoneWhileDecoding_data();
    void windowGoneWhileDecoding();
    void windowGoneWhileStoring();
    void piecesMakeOneMessage_data();
    void piecesMakeOneMessage();
    void oversizedMessageDropped_data();
    void oversizedMessageDropped();
    void restOfACutFile_data();
    void restOfACutFile();
    void stallLongerThanTheGap();
    void limitsByKind_data();
    void limitsByKind();
    void destroyedWhileReceiving_data();
    void destroyedWhileReceiving();
    void cutMessage_data();
    void cutMessage();
    void writeFails_data();
    void writeFails();
    void diskFull_data();
    void diskFull();

private:
    // What the working directory holds; nonsense when anything outside it changed.
    QStringList created() const
    {
        const auto list = [](const QString &path) {
            return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden |
                                        QDir::System);
        };
        if (list(m_root->path()) != QStringList{"work", "x"} || contents(m_root->filePath("x")) != "outside")
            return {"<disk changed>"};
        return list(".");
    }

    // The entries made by createEntries are unchanged, and the only other one is stored, a
    // file given as name=contents (or nothing when empty).
    void checkStored(QStringList expected, const QByteArray &stored) const
    {
        for (const QString &name : std::as_const(expected))
            QCOMPARE(contents(name), png(3, 2));
        if (!stored.isEmpty()) {
            const QString name = QString::fromUtf8(stored.left(stored.indexOf('=')));
            QCOMPARE(contents(name), stored.mid(stored.indexOf('=') + 1));
            expected.append(name);
        }
        expected.sort();
        QCOMPARE(created(), expected);
    }

    // Creates the blank-separated entries: files holding an image, so that showing one by
    // mistake would be seen; "d/name" a folder; "l/name" a link to the missing "nowhere".
    static bool createEntries(const QString &present, QStringList &names)
    {
        for (const QString &entry : present.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            names.append(entry.mid(entry.indexOf(QLatin1Char('/')) + 1));
            if (!(entry.startsWith("d/")   ? QDir().mkdir(names.last())
                  : entry.startsWith("l/") ? QFile::link("nowhere", names.last())
                                           : write(names.last(), png(3, 2))))
                return false;
        }
        return true;
    }

    ScriptedPeer m_peer;
    std::unique_ptr<QTemporaryDir> m_root;
    QString m_previous = QDir::currentPath();
};

void TestReceive::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_root->path()).mkdir("work") && write(m_root->filePath("x"), "outside") &&
            QDir::setCurrent(m_root->filePath("work")));
}

void TestReceive::cleanup()
{
    QDir::setCurrent(m_previous);
    m_root.reset();
}

void TestReceive::dispatch_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("present");   // entries there before: see createEntries
    QTest::addColumn<QStringList>("lines"); // appended to the message box
    QTest::addColumn<QString>("users");
    QTest::addColumn<QByteArray>("stored"); // name=contents of the file stored
    QTest::addColumn<QString>("tab");       // the text file tab
    QTest::addColumn<int>("flags");

    const auto lines = lineList;
    const struct
    {
        const char *tag, *message, *lines; // null for none
        const char *users = nullptr;       // null: unchanged
        int flags = 0;
    } texts[] = {
        {"chat line", "c,hello", "hello"},
        {"second byte not read", "cXhi", "hi"},
        {"two chat lines in one", "c,aac,bb", "aac,bb"},
        {"registration answer", "r,注册成功", "注册成功"},
        {"login success", "l,登录成功", "登录成功", "我: me", Enabled},
        {"login success, English", "l;succeed to log", "succeed to log", "我: me", Enabled},
        {"login success, no user name", "l,登录成功", "登录成功", "我: ", Enabled | NoUserName},
        {"success and a newline", "l,登录成功\n", "登录成功\n"},
        {"success joined to the next", "l,登录成功c,x", "登录成功c,x"},
        {"login refused", "l,wrong", "wrong"},
        {"user list", "o,a\nb", nullptr, "我: me\na\nb"},
        {"c alone", "c", ""},
        {"o alone", "o", nullptr, "我: me\n"},
        {"unknown kind", "x,hi", nullptr},
        // Taken for markup, these would not show as they came.
        {"image markup", "c,<img src=\"dot.png\">", "<img src=\"dot.png\">"},
        {"anchor markup", "r,<a href=\"http://127.0.0.1/\">x</a>", "<a href=\"http://127.0.0.1/\">x</a>"},
        {"markup in user list", "o,<img src=\"dot.png\">", nullptr, "我: me\n<img src=\"dot.png\">"},
    };
    for (const auto &row : texts)
        QTest::newRow(row.tag) << QByteArray(row.message) << "" << lines(row.lines)
                               << (row.users ? row.users : "before") << QByteArray() << "kept" << row.flags;

    const struct
    {
        const char *tag, *message, *present, *lines;
        const char *stored = "", *tab = "kept";
        int flags = 0;
    } files[] = {
        {"file", "fs,a.txt~+^`&hello", "", "收到的文件：a.txt%T|收到文件：a.txt", "a.txt=hello", "hello"},
        {"file renamed", "fs,a.txt~+^`&hello", "a.txt",
         "收到的文件：a2.txt%T|收到文件：a.txt, 并改名为：a2.txt", "a2.txt=hello", "hello"},
        {"path left behind", "fs,../x~+^`&in", "", "收到的文件：x%T|收到文件：../x, 并改名为：x", "x=in",
         "in"},
        // A file not stored is not reported as received.
        {"refused name, markup", "fs,<b>x.txt~+^`&hi", "", "不能以只写方式文件：<b>x.txt", "", "hi"},
        {"name not UTF-8", "fs,{3 bad}a.txt~+^`&hi", "", "收到的文件：\uFFFDa.txt%T|收到文件：\uFFFDa.txt",
         "\uFFFDa.txt=hi", "hi"},
        // One replacement character, not 197, which would make a name no file system takes.
        {"197 bytes not UTF-8", "fs,{197 bad}~+^`&hi", "", "收到的文件：\uFFFD%T|收到文件：\uFFFD",
         "\uFFFD=hi", "hi"},
        {"markup in a file", "fs,m.txt~+^`&<img src=\"dot.png\">", "", "收到的文件：m.txt%T|收到文件：m.txt",
         "m.txt=<img src=\"dot.png\">", "<img src=\"dot.png\">"},
        {"image", "fsip.png~+^`&bob~+^`&{png}", "", "收到的图片：p.png%P|收到bob 发来的文件：p.png",
         "p.png={png}", "kept", Image},
        {"image renamed", "fsip.png~+^`&bob~+^`&{png}", "p.png",
         "收到的图片：p2.png%P|收到bob 发来的文件：p.png, 并改名为：p2.png", "p2.png={png}", "kept", Image},
        {"no image", "fsip.png~+^`&bob~+^`&words", "", "图片无法显示：p.png|收到bob 发来的文件：p.png",
         "p.png=words"},
        // The refused name exists already, and is not the peer's to show.
        {"image, refused name", "fsip.png:s~+^`&bob~+^`&{png}", "p.png:s", "不能以只写方式文件：p.png:s"},
        {"other f kind", "fr,a~+^`&data", "", nullptr},
        {"file, no separator", "fs,a.txt", "", nullptr},
        {"image, one separator", "fsip.png~+^`&bob", "", nullptr},
        {"separator at 201", "fs,{198}~+^`&", "", "文件名太长", "", "kept", Refused},
    };
    const auto expand = [](const char *text) {
        return QByteArray(text)
            .replace("{png}", png(3, 2))
            .replace("{198}", QByteArray(198, 'n'))
            .replace("{3 bad}", "\xff\xfe\xfd")
            .replace("{197 bad}", QByteArray(197, '\xff'));
    };
    for (const auto &row : files)
        QTest::newRow(row.tag) << expand(row.message) << row.present << lines(row.lines) << "before"
                               << expand(row.stored) << row.tab << row.flags;
}

void TestReceive::dispatch()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, present);
    QFETCH(QStringList, lines);
    QFETCH(QString, users);
    QFETCH(QByteArray, stored);
    QFETCH(QString, tab);
    QFETCH(int, flags);

    QStringList expected;
    QVERIFY(createEntries(present, expected));
    Widget w;
    WidgetProbe::setUserName(w, flags & NoUserName ? QString() : QStringLiteral("me"));
    QTextEdit *read = WidgetProbe::textEdit(w, "textEditRead");
    read->setPlainText(QStringLiteral("earlier"));
    read->moveCursor(QTextCursor::Start);
    WidgetProbe::textEdit(w, "textEditUsers")->setPlainText(QStringLiteral("before"));
    WidgetProbe::textEdit(w, "textEditFile")->setPlainText(QStringLiteral("kept"));

    QCOMPARE(w.handleMessage(message), !(flags & Refused));
    QVERIFY(handled(w));
    QCOMPARE(shown(w), (QStringList{"earlier"} + lines).join(QLatin1Char('\n')));
    QCOMPARE(read->textCursor().atEnd(), !(flags & Refused));
    QCOMPARE(shown(w, "textEditUsers"), users);
    QCOMPARE(shown(w, "textEditFile"), tab);
    QCOMPARE(sendButtonsEnabled(w), flags & Enabled ? 3 : 0);
    QCOMPARE(WidgetProbe::scene(w)->items().size(), flags & Image ? 1 : 0);

    checkStored(expected, stored);
}

void TestReceive::storedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("present"); // as for dispatch
    QTest::addColumn<QString>("stored");  // empty: refused

    for (const char *name : {"../x", "..\\x", "/x", "C:\\x", "sub/../../x"})
        QTest::newRow(name) << name << QString() << "x";
    const char *numbered[][3] = {
        {"sub/keep.txt", "keep.txt", "keep2.txt"},
        {"a.txt", "a.txt a3.txt", "a2.txt"},
        {"a.txt", "a.txt a2.txt a22.txt", "a3.txt"},
        {"a.txt", "d/a.txt", "a2.txt"},
        {"a.txt", "l/a.txt", "a2.txt"},
        {"a.b.txt", "a.b.txt", "a.b2.txt"},
        {"notes", "notes notes2.notes", "notes3.notes"},
        {"file.", "file.", "file2."},
        {".cfg", ".cfg", "2.cfg"},
        {"lpt.txt", "lpt.txt", "lpt10.txt"}, // lpt2.txt to lpt9.txt would be devices
        {"COM", "COM", "COM10.COM"},
    };
    for (const auto &row : numbered)
        QTest::addRow("%s beside %s", row[0], row[1]) << row[0] << row[1] << row[2];
    for (const char *name :
         {":",        "x.txt:stream", "NUL.txt", "con", "COM1.log", "lpt9",  "COM0.log", "LPT0", "COM¹.txt",
          "lpt³",     "com²",         "CONOUT$", "a|b", "a*?",      "\"q\"", "<a>",      "a\tb", "a\nb",
          "a\x1b[2J", "a\x7f",        ".",       "..",  "sub/..",   "sub/",  ""})
        QTest::newRow(name) << QString(name) << QString() << QString();
    QTest::newRow("zero") << QStringLiteral("a") + QChar(0) + "b" << QString() << QString();

    // Names longer than the 255 bytes a file system takes lose the end of their stem; the
    // numbered variant of a long name that is taken too.
    const auto n = [](int count) { return QString(count, QLatin1Char('n')); };
    const QString wen(84, QChar(0x6587)), smileys = QString::fromUtf8("😀").repeated(63);
    const QString e251(251, QLatin1Char('e'));
    const QString rows[][4] = {
        {"300 characters", n(300), "", n(255)},
        {"255 bytes, taken", n(251) + ".txt", n(251) + ".txt", n(250) + "2.txt"},
        {"197 bytes without a dot, taken", n(197), n(197), n(56) + "2." + n(197)},
        {"256 bytes of Chinese", wen + ".txt", "", wen.chopped(1) + ".txt"},
        {"256 bytes of emoji", smileys + ".txt", "", smileys.chopped(2) + ".txt"},
        {"shortened to a device name", "AUXX." + e251, "", "AU2." + e251},
    };
    for (const auto &row : rows)
        QTest::newRow(qPrintable(row[0])) << row[1] << row[2] << row[3];
}

void TestReceive::storedNames()
{
    QFETCH(QString, name);
    QFETCH(QString, present);
    QFETCH(QString, stored);

    QStringList expected;
    QVERIFY(createEntries(present, expected));
    Widget w;
    QCOMPARE(w.saveFile(name, "data"), !stored.isEmpty());
    for (const QString &entry : std::as_const(expected)) {
        if (QFileInfo(entry).isFile())
            QCOMPARE(contents(entry), png(3, 2));
    }
    if (stored.isEmpty()) {
        QCOMPARE(shown(w), QStringLiteral("不能以只写方式文件：") + name);
        QVERIFY(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
    } else {
        QCOMPARE(name, stored);
        QCOMPARE(contents(stored), QByteArray("data"));
        expected.append(stored);
    }
    expected.sort();
    QCOMPARE(created(), expected); // a link written through would have made "nowhere"
}

void TestReceive::imagesInScene_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QImage>("expected"); // null: not shown
    QTest::addColumn<int>("tolerance");   // per colour channel
    QTest::addColumn<QString>("warning"); // logged by the reader

    for (const auto &[tag, format] : {std::pair{"opaque", QImage::Format_RGB32},
                                      {"alpha", QImage::Format_ARGB32},
                                      {"grey", QImage::Format_Grayscale8},
                                      {"palette", QImage::Format_Indexed8}}) {
        const QImage image = corners(6, 4, format);
        QTest::addRow("PNG, %s", tag) << encode(image, "PNG") << image << 2 << QString();
    }
    QImage flat(16, 8, QImage::Format_RGB32);
    flat.fill(0x336699);
    QTest::newRow("JPEG") << encode(flat, "JPEG") << flat << 6 << QString();
    QTest::newRow("words") << QByteArray("words") << QImage() << 0 << QString();
    QTest::newRow("declares 17000 x 17000")
        << QByteArray("P5 17000 17000 255\n") << QImage() << 0 << QStringLiteral("allocation limit");
}

// A loaded image adds a full-size item at the origin, beside the earlier ones; one that
// does not load adds nothing, and one that declares huge dimensions is refused even when
// something else lifted the reader's limit.
void TestReceive::imagesInScene()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QImage, expected);
    QFETCH(int, tolerance);
    QFETCH(QString, warning);

    QImageReader::setAllocationLimit(0);
    QVERIFY(write("earlier.png", png(3, 2)) && write("new.img", bytes));
    Widget w;
    bool earlier = false;
    w.showImage("earlier.png", [&](bool shown) { earlier = shown; });
    QTRY_VERIFY(earlier);
    QGraphicsPixmapItem *first = WidgetProbe::pixmapItem(w);

    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    int calls = 0;
    bool shown = false;
    w.showImage("new.img", [&](bool result) { ++calls, shown = result; });
    QCOMPARE(calls, 0); // decoded while the event loop goes on
    QTRY_COMPARE(calls, 1);
    QCOMPARE(shown, !expected.isNull());

    const QList<QGraphicsItem *> items = WidgetProbe::scene(w)->items();
    QCOMPARE(items.size(), shown ? 2 : 1);
    QGraphicsPixmapItem *last = WidgetProbe::pixmapItem(w);
    QCOMPARE(last == first, !shown);
    for (QGraphicsItem *item : items)
        QVERIFY(item->pos() == QPointF(0, 0) && item->scale() == 1 && !item->transform().isScaling());
    QCOMPARE(first->boundingRect(), QRectF(0, 0, 3, 2));
    if (!shown)
        return;
    QCOMPARE(last->boundingRect(), QRectF(QPointF(0, 0), expected.size()));
    const QImage pixels = last->pixmap().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(pixels.size(), expected.size());
    const QImage want = expected.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < want.height(); ++y) {
        for (int x = 0; x < want.width(); ++x) {
            const QRgb a = pixels.pixel(x, y), b = want.pixel(x, y);
            for (int shift : {0, 8, 16, 24})
                QVERIFY2(qAbs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) <= tolerance,
                         qPrintable(QStringLiteral("pixel %1,%2: %3 instead of %4")
                                        .arg(x)
                                        .arg(y)
                                        .arg(a, 8, 16)
                                        .arg(b, 8, 16)));
        }
    }
}

void TestReceive::textFileShown_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("present"); // as for dispatch
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("stored"); // the name the contents must be stored under, or empty
    QTest::addColumn<QString>("tab");

    const QByteArray line = QByteArray(99, 'x') + "\n";
    // 292 of these lines and 64 letters of the next are as much as the tab shows.
    const QString start = QString(line.repeated(292) + QByteArray(64, 'x'));
    const QByteArray fourMiB = line.repeated(4 * 1024 * 1024 / 100);
    const char *cut = "收到的文件：big.txt%T|文本文件标签页里只显示了文件的开头，整个文件已保存为：big.txt|"
                      "收到文件：big.txt";

    QTest::newRow("small") << fileMessage("a.txt", "第一行\nline 2") << ""
                           << lineList("收到的文件：a.txt%T|收到文件：a.txt") << "a.txt"
                           << QStringLiteral("第一行\nline 2");
    QTest::newRow("4 MiB") << fileMessage("big.txt", fourMiB) << "" << lineList(cut) << "big.txt" << start;
    QTest::newRow("16 MiB") << fileMessage("big.txt", line.repeated(16 * 1024 * 1024 / 100)) << ""
                            << lineList(cut) << "big.txt" << start;
    QTest::newRow("one long line") << fileMessage("big.txt", QByteArray(100000, 'x')) << "" << lineList(cut)
                                   << "big.txt" << QString(4096, 'x');
    QTest::newRow("renamed")
        << fileMessage("big.txt", fourMiB) << "big.txt"
        << lineList("收到的文件：big2.txt%T|文本文件标签页里只显示了文件的开头，整个文件已保存为："
                    "big2.txt|收到文件：big.txt, 并改名为：big2.txt")
        << "big2.txt" << start;
    QTest::newRow("not stored") << fileMessage("big?.txt", fourMiB) << ""
                                << lineList("不能以只写方式文件：big?.txt|文本文件标签页里只显示了文件的开头")
                                << "" << start;
}

// The stored file holds every byte; the tab shows the whole text or, when laying it out
// would hold up the window, its start, and a line says so.
void TestReceive::textFileShown()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, present);
    QFETCH(QStringList, lines);
    QFETCH(QString, stored);
    QFETCH(QString, tab);

    QStringList expected;
    QVERIFY(createEntries(present, expected));
    Widget w;
    QVERIFY(w.handleMessage(message));
    QVERIFY(handled(w));
    QCOMPARE(shown(w).split(QLatin1Char('\n')), lines);
    QCOMPARE(shown(w, "textEditFile"), tab);
    if (!stored.isEmpty()) {
        QVERIFY(contents(stored) == message.mid(message.indexOf("~+^`&") + 5));
        expected.append(stored);
    }
    expected.sort();
    QCOMPARE(created(), expected);
}

void TestReceive::messagesWaitForImage_data()
{
    QTest::addColumn<QList<QByteArray>>("messages");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QSize>("last"); // size of the last image shown, if any
    QTest::addColumn<QString>("tab");

    const QByteArray p = imageMessage("p.png", png(3, 2));
    QTest::newRow("chat after an image")
        << QList<QByteArray>{p, "c,after"} << lineList("收到的图片：p.png%P|收到bob 发来的文件：p.png|after")
        << QSize(3, 2) << "kept";
    QTest::newRow("two images, then chat")
        << QList<QByteArray>{p, imageMessage("q.png", png(4, 5)), "c,after"}
        << lineList("收到的图片：p.png%P|收到bob 发来的文件：p.png|收到的图片：q.png%P|收到bob "
                    "发来的文件：q.png|after")
        << QSize(4, 5) << "kept";
    QTest::newRow("text file after an image")
        << QList<QByteArray>{p, fileMessage("t.txt", "text")}
        << lineList("收到的图片：p.png%P|收到bob 发来的文件：p.png|收到的文件：t.txt%T|收到文件：t.txt")
        << QSize(3, 2) << "text";
    QTest::newRow("chat after bytes that are no image")
        << QList<QByteArray>{imageMessage("p.png", "words"), "c,after"}
        << lineList("图片无法显示：p.png|收到bob 发来的文件：p.png|after") << QSize() << "kept";
    // Larger than what the window writes on its own thread.
    const QByteArray large(2 * 1024 * 1024, 'x');
    QTest::newRow("chat after a large text file")
        << QList<QByteArray>{fileMessage("big.txt", large), "c,after"}
        << lineList("收到的文件：big.txt%T|文本文件标签页里只显示了文件的开头，整个文件已保存为：big.txt|"
                    "收到文件：big.txt|after")
        << QSize() << QString(4096, 'x');
    QTest::newRow("large text file, then an image")
        << QList<QByteArray>{fileMessage("big.txt", large), p}
        << lineList("收到的文件：big.txt%T|文本文件标签页里只显示了文件的开头，整个文件已保存为：big.txt|"
                    "收到文件：big.txt|收到的图片：p.png%P|收到bob 发来的文件：p.png")
        << QSize(3, 2) << QString(4096, 'x');
    QTest::newRow("long name after an image")
        << QList<QByteArray>{p, "fs," + QByteArray(198, 'n') + "~+^`&"}
        << lineList("收到的图片：p.png%P|收到bob 发来的文件：p.png|文件名太长") << QSize(3, 2) << "kept";
}

// An image is decoded while the event loop goes on; what came after it waits, so that the
// message box reads as if each message had been handled in turn.
void TestReceive::messagesWaitForImage()
{
    QFETCH(QList<QByteArray>, messages);
    QFETCH(QStringList, lines);
    QFETCH(QSize, last);
    QFETCH(QString, tab);

    Widget w;
    WidgetProbe::textEdit(w, "textEditFile")->setPlainText(QStringLiteral("kept"));
    for (const QByteArray &message : std::as_const(messages))
        QVERIFY(w.handleMessage(message));
    QCOMPARE(shown(w), QString());
    QVERIFY(handled(w));
    QCOMPARE(shown(w).split(QLatin1Char('\n')), lines);
    QCOMPARE(shown(w, "textEditFile"), tab);
    QCOMPARE(WidgetProbe::scene(w)->items().size(), int(lines.filter(QStringLiteral("收到的图片：")).size()));
    QGraphicsPixmapItem *item = WidgetProbe::pixmapItem(w);
    QCOMPARE(item ? item->pixmap().size() : QSize(), last);
}

// Chat lines that gathered while an image was decoded are shown one a turn of the event
// loop, and a message that comes meanwhile waits behind them. The probe is queued as the
// image's lines appear, so it runs right after the turn that showed them.
void TestReceive::waitingMessagesOneATurn()
{
    Widget w;
    QTextDocument *read = WidgetProbe::textEdit(w, "textEditRead")->document();
    int chatLinesAtProbe = -1;
    const auto chatLines = [read] { return read->toPlainText().count(QStringLiteral("line ")); };
    connect(read, &QTextDocument::contentsChanged, this, [&] {
        if (chatLinesAtProbe == -1 && read->toPlainText().contains(QStringLiteral("文件：p.png"))) {
            chatLinesAtProbe = -2;
            QMetaObject::invokeMethod(
                this,
                [&] {
                    chatLinesAtProbe = chatLines();
                    w.handleMessage("c,line 6"); // comes after those still waiting
                },
                Qt::QueuedConnection);
        }
    });
    QVERIFY(w.handleMessage(imageMessage("p.png", png(3, 2))));
    for (int i = 1; i <= 5; ++i)
        QVERIFY(w.handleMessage("c,line " + QByteArray::number(i)));
    QVERIFY(handled(w));
    QCOMPARE(chatLinesAtProbe, 1);
    QVERIFY(shown(w).endsWith(QStringLiteral("p.png\nline 1\nline 2\nline 3\nline 4\nline 5\nline 6")));
}

void TestReceive::windowGoneWhileDecoding_data()
{
    QTest::addColumn<bool>("poolBusy");
    QTest::newRow("decoding") << false;
    QTest::newRow("waiting for a pool thread") << true;
}

// The decoding outlives the window that asked for it; its result reaches no window, not
// even a new one that may well take the old one's place in memory.
void TestReceive::windowGoneWhileDecoding()
{
    QFETCH(bool, poolBusy);

    QThreadPool *pool = QThreadPool::globalInstance();
    QSemaphore gate;
    int blocked = 0;
    const auto unblock = qScopeGuard([&] {
        gate.release(blocked);
        pool->waitForDone();
    });
    for (; poolBusy && blocked < pool->maxThreadCount(); ++blocked)
        pool->start([&gate] { gate.acquire(); });
    const QByteArray image = slowPng(poolBusy ? 8 : 2000);

    auto *w = new Widget;
    QVERIFY(w->handleMessage(imageMessage("p.png", image)));
    QVERIFY(w->handleMessage("c,after"));
    delete w;
    Widget next;
    gate.release(std::exchange(blocked, 0));
    pool->waitForDone();
    QTest::qWait(50); // a result posted meanwhile would arrive now
    QCOMPARE(shown(next), QString());
    QCOMPARE(WidgetProbe::scene(next)->items().size(), 0);
    QVERIFY(contents("p.png") == image);
}

// The window waits for a large file it is writing before it goes: the file holds every byte,
// and nothing reaches a new window.
void TestReceive::windowGoneWhileStoring()
{
    const QByteArray data = QByteArray("0123456789abcdef").repeated(1024 * 1024);
    auto *w = new Widget;
    QVERIFY(w->handleMessage(fileMessage("big.txt", data)));
    QVERIFY(w->handleMessage("c,after"));
    QVERIFY(WidgetProbe::messagesWaiting(*w));
    delete w;
    QVERIFY(contents("big.txt") == data);
    Widget next;
    QTest::qWait(50); // a result posted meanwhile would arrive now
    QCOMPARE(shown(next), QString());
    QCOMPARE(shown(next, "textEditFile"), QString());
}

void TestReceive::piecesMakeOneMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("pieceSize");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<QByteArray>("data"); // stored as "big", empty for a chat line

    // Every piece after the first looks like a file message of its own.
    const int piece = 128 * 1024;
    QByteArray text = "fs,big~+^`&";
    for (char c = 'a'; text.size() < 1024 * 1024; ++c)
        text += QByteArray(piece - text.size() % piece, c) + "fs,stray~+^`&";
    QTest::newRow("1 MB text file") << text << piece << tavrel::kFileQuietGapMs / 3 << text.mid(11);
    QByteArray image = png(3, 2); // a reader stops at the end of the PNG
    for (int k = 0; image.size() < 3 * 1024 * 1024; ++k)
        image += QByteArray::number(k * 2654435761u, 36);
    QTest::newRow("3 MB image") << "fsibig~+^`&~+^`&" + image << piece * 4 << tavrel::kFileQuietGapMs / 3
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
    QVERIFY(connectToPeer(w, m_peer));
    m_peer.sendInPieces(message, pieceSize, pauseMs);
    QTRY_VERIFY_WITH_TIMEOUT(!shown(w).isEmpty(), 10000);
    QTest::qWait(tavrel::kFileQuietGapMs + 50); // a piece taken for a message of its own would show by now
    QCOMPARE(created(), data.isEmpty() ? QStringList() : QStringList{"big"});
    if (data.isEmpty())
        QVERIFY(shown(w).toLatin1() == message.mid(2));
    else
        QVERIFY(contents("big") == data && shown(w).endsWith(QStringLiteral("文件：big")));
}

void TestReceive::oversizedMessageDropped_data()
{
    QTest::addColumn<QByteArray>("message");
    // Any piece gathered on its own would be a chat line.
    QTest::newRow("chat line") << "c," + QByteArray(5000, 'c');
    QTest::newRow("file") << "fs,big~+^`&" + QByteArray(50000, 'c');
}

void TestReceive::oversizedMessageDropped()
{
    QFETCH(QByteArray, message);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    WidgetProbe::assembler(w)->setLimits(20000, 1000);
    m_peer.sendInPieces(message, 4096, 1);
    QTRY_VERIFY(shown(w).startsWith(QStringLiteral("消息过大，已丢弃：")));
    // The rest of the message is dropped; once the connection was quiet, messages are gathered again.
    QTest::qWait(tavrel::kFileQuietGapMs + 50);
    m_peer.send("c,after");
    QTRY_VERIFY(shown(w).endsWith(QStringLiteral("\nafter")));
    QCOMPARE(shown(w).count(QLatin1Char('\n')), 1);
    QCOMPARE(created(), QStringList());
}

// Bytes of no known kind right after a file or image are the rest that a long stall cut
// off: the user hears once that the stored file is incomplete, a warning is logged for each
// piece, and nothing is written anywhere.
void TestReceive::restOfACutFile_data()
{
    QTest::addColumn<QByteArrayList>("messages"); // "<later>": the window passes
    QTest::addColumn<QString>("present");         // as for dispatch
    QTest::addColumn<QString>("cut");             // the file named incomplete; empty: none
    QTest::addColumn<int>("warnings");
    QTest::addColumn<QByteArray>("stored"); // name=contents

    const QByteArray file = "fs,a.txt~+^`&hello";
    const QByteArray image = "fsip.png~+^`&bob~+^`&" + png(3, 2);
    QTest::newRow("file, then its rest") << QByteArrayList{file, "\x01rest"} << ""
                                         << "a.txt" << 1 << QByteArray("a.txt=hello");
    QTest::newRow("image, then its rest") << QByteArrayList{image, "\xae\x42\x60\x82"} << ""
                                          << "p.png" << 1 << "p.png=" + png(3, 2);
    QTest::newRow("renamed file") << QByteArrayList{file, "\x01rest"} << "a.txt"
                                  << "a2.txt" << 1 << QByteArray("a2.txt=hello");
    QTest::newRow("rest in two pieces") << QByteArrayList{file, "\x01one", "\x02two"} << ""
                                        << "a.txt" << 2 << QByteArray("a.txt=hello");
    QTest::newRow("a chat line in between") << QByteArrayList{file, "c,hi", "\x01rest"} << ""
                                            << "" << 0 << QByteArray("a.txt=hello");
    QTest::newRow("long after") << QByteArrayList{file, "<later>", "\x01rest"} << ""
                                << "" << 0 << QByteArray("a.txt=hello");
    QTest::newRow("no file before") << QByteArrayList{"\x01rest"} << ""
                                    << "" << 0 << QByteArray();
    QTest::newRow("file not stored") << QByteArrayList{"fs,a:b~+^`&x", "\x01rest"} << ""
                                     << "" << 0 << QByteArray();
}

void TestReceive::restOfACutFile()
{
    QFETCH(QByteArrayList, messages);
    QFETCH(QString, present);
    QFETCH(QString, cut);
    QFETCH(int, warnings);
    QFETCH(QByteArray, stored);

    QStringList expected;
    QVERIFY(createEntries(present, expected));
    Widget w;
    for (int i = 0; i < warnings; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^文件被截断")));
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
    for (const QByteArray &message : std::as_const(messages)) {
        if (message == "<later>")
            WidgetProbe::ageLastStoredFile(w);
        else
            QVERIFY(w.handleMessage(message));
    }
    QVERIFY(handled(w));
    const QString notice = QStringLiteral("收到的文件不完整：");
    QCOMPARE(shown(w).count(notice), cut.isEmpty() ? 0 : 1);
    QVERIFY2(cut.isEmpty() || shown(w).endsWith(notice + cut), qPrintable(shown(w)));
    checkStored(expected, stored);
}

// Over the socket: a pause longer than the file gap splits a file, and the window says so.
void TestReceive::stallLongerThanTheGap()
{
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    const QByteArray contents = QByteArray(20000, 't');
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^文件被截断")));
    m_peer.sendInPieces("fs,cut.txt~+^`&" + contents, 12000, tavrel::kFileQuietGapMs + 200);
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).endsWith(QStringLiteral("收到的文件不完整：cut.txt")), 5000);
    QCOMPARE(::contents("cut.txt"), contents.left(12000 - 15));
    QCOMPARE(created(), QStringList{"cut.txt"});
}

void TestReceive::limitsByKind_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<qint64>("limit"); // 0: the message is stored as "big"

    // Each is one byte over its kind's limit, or for the stored file over the other kinds' limit.
    const QByteArray text(tavrel::kMaxGatheredTextMessage - 1, 't');
    for (const char *prefix : {"c,", "l,", "r,", "o,", "x,"})
        QTest::addRow("%s", prefix) << prefix + text << tavrel::kMaxGatheredTextMessage;
    const QByteArray file = "fs,big~+^`&";
    QTest::newRow("file over the text limit") << file + text + "tt" << qint64(0);
    QTest::newRow("file over the file limit")
        << file + QByteArray(tavrel::kMaxGatheredMessage - file.size() + 1, 'f')
        << tavrel::kMaxGatheredMessage;
}

void TestReceive::limitsByKind()
{
    QFETCH(QByteArray, message);
    QFETCH(qint64, limit);

    Widget w;
    WidgetProbe::textEdit(w, "textEditUsers")->setPlainText(QStringLiteral("before"));
    // In one piece, as a fast link may bring it: on a socket, a pause of a loaded machine
    // could end the message early, into two within the limit.
    tavrel::MessageAssembler *assembler = WidgetProbe::assembler(w);
    assembler->append(message);
    assembler->flush();
    if (!limit) {
        QVERIFY(handled(w));
        QVERIFY(shown(w).endsWith(QStringLiteral("收到文件：big")));
        QVERIFY(contents("big") == message.mid(11));
        return;
    }
    QCOMPARE(shown(w), QStringLiteral("消息过大，已丢弃：%1 字节").arg(message.size()));
    QCOMPARE(shown(w, "textEditUsers"), QStringLiteral("before"));
    QCOMPARE(created(), QStringList());
}

void TestReceive::destroyedWhileReceiving_data()
{
    QTest::addColumn<QByteArray>("handled"); // empty: the window goes after a read instead
    QTest::addColumn<QByteArray>("arriving");

    QTest::newRow("chat line pending") << QByteArray() << QByteArray("c,pending");
    QTest::newRow("file half received") << QByteArray() << "fs,half.txt~+^`&" + QByteArray(20000, 'h');
    // The chat line ends because the file's first bytes come after the gap.
    QTest::newRow("handling a message") << QByteArray("c,first") << QByteArray("fs,half.txt~+^`&hh");
}

// The window is deleted from inside a slot while it holds part of a message on an open
// connection; nothing of it may run afterwards, on the close, the quiet gap or its timers.
void TestReceive::destroyedWhileReceiving()
{
    QFETCH(QByteArray, handled);
    QFETCH(QByteArray, arriving);

    auto *w = new Widget;
    const QPointer<Widget> alive(w);
    QVERIFY(connectToPeer(*w, m_peer));
    tavrel::MessageAssembler *assembler = WidgetProbe::assembler(*w);
    qsizetype pendingAtEnd = -1;
    const auto destroy = [&] {
        pendingAtEnd = assembler->pendingSize();
        delete w;
    };
    if (handled.isEmpty()) {
        // Queued: after the window has taken the bytes in, before its quiet gap can end them.
        connect(WidgetProbe::socket(*w), &QTcpSocket::readyRead, this, destroy, Qt::QueuedConnection);
        QVERIFY(m_peer.send(arriving));
        QTRY_VERIFY(!alive);
        QVERIFY(pendingAtEnd > 0);
    } else {
        connect(assembler, &tavrel::MessageAssembler::messageReady, this, destroy);
        assembler->append(handled);
        // An event loop that comes back only after the gap: the arriving bytes end the
        // message, whose handler takes the window, and the gatherer, with it.
        QThread::msleep(tavrel::kQuietGapMs + 10);
        assembler->append(arriving);
        QVERIFY(!alive);
    }
    m_peer.closeClient();
    QTest::qWait(tavrel::kFileQuietGapMs + 100);
    QCOMPARE(created(), QStringList());
}

enum Ending { PeerCloses, PeerResets, UserDisconnects };

void TestReceive::cutMessage_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("ending");
    QTest::addColumn<QString>("lines"); // the message box afterwards

    const QString dropped = QStringLiteral("连接已断开，未收完的文件已丢弃：");
    const QByteArray image = "fsip.png~+^`&bob~+^`&" + png(3, 2).left(20);
    const QByteArray longName = "fs," + QByteArray(198, 'n') + "~+^`&data";
    const struct
    {
        const char *tag;
        QByteArray message;
        Ending ending;
        QString lines;
    } rows[] = {
        {"file, server closes", "fs,a.txt~+^`&hel", PeerCloses, dropped + "a.txt"},
        {"image, connection reset", image, PeerResets, dropped + "p.png"},
        {"image, user disconnects", image, UserDisconnects, dropped + "p.png"},
        {"image without its sender", "fsip.png~+^`&bo", PeerCloses, dropped + "p.png"},
        {"name not complete", "fs,a.tx", PeerCloses, dropped + "7 字节"},
        {"name too long", longName, PeerResets, dropped + QString::number(longName.size()) + " 字节"},
        // The server's notice that another login took over comes right before its close.
        {"chat line, server closes", "c,replaced", PeerCloses, "replaced"},
        {"login answer, connection reset", "l,bye", PeerResets, "bye"},
        {"other f kind", "fr,x~+^`&", PeerCloses, ""},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << row.message << int(row.ending) << row.lines;
}

void TestReceive::cutMessage()
{
    QFETCH(QByteArray, message);
    QFETCH(int, ending);
    QFETCH(QString, lines);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    QVERIFY(m_peer.send(message));
    if (ending != PeerCloses) // a reset can overtake bytes the window has not read
        QTRY_VERIFY(!WidgetProbe::assembler(w)->pendingSize() == 0 || !shown(w).isEmpty());
    if (ending == PeerCloses)
        m_peer.closeClient();
    else if (ending == PeerResets)
        m_peer.resetClient();
    else
        click(w, "btnConnect");
    QTRY_COMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QTest::qWait(tavrel::kFileQuietGapMs + 50); // and nothing after the gap
    QCOMPARE(shown(w), lines);
    QCOMPARE(created(), QStringList());
}

void TestReceive::writeFails_data()
{
    QTest::addColumn<qint64>("accept"); // see FailingFile
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("present"); // as for dispatch

    QTest::newRow("first write fails") << qint64(0) << 1000 << "";
    QTest::newRow("short write") << qint64(65536) << 200 * 1024 << "";
    QTest::newRow("flush fails at close") << qint64(-1) << 1000 << "";
    QTest::newRow("renamed, then short") << qint64(10) << 100 << "a.txt";
    QTest::newRow("all written") << qint64(1000) << 1000 << "a.txt";
    // Written off the window's thread.
    QTest::newRow("large, short write") << qint64(65536) << 2 * 1024 * 1024 << "";
    QTest::newRow("large, flush fails at close") << qint64(-1) << 2 * 1024 * 1024 << "a.txt";
    QTest::newRow("large, all written") << qint64(4 << 20) << (4 << 20) << "a.txt";
}

// A store that fails leaves nothing behind and reports no success; what was there stays.
void TestReceive::writeFails()
{
    QFETCH(qint64, accept);
    QFETCH(int, size);
    QFETCH(QString, present);

    if (accept < 0 && !QFile::exists("/dev/full"))
        QSKIP("needs /dev/full");
    QStringList expected;
    QVERIFY(createEntries(present, expected));
    Widget w;
    WidgetProbe::setFileIn(w, new FailingFile(accept));
    const QString name = present.isEmpty() ? "a.txt" : "a2.txt";
    const bool fails = accept < size;
    if (fails)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot write file " + name + " "));
    const QByteArray data(size, 'd');
    QVERIFY(w.handleMessage("fs,a.txt~+^`&" + data));
    QVERIFY(handled(w));
    for (const QString &entry : std::as_const(expected))
        QCOMPARE(contents(entry), png(3, 2));
    if (fails) {
        QCOMPARE(withoutStartNote(shown(w)), QStringLiteral("不能以只写方式文件：") + name);
    } else {
        QVERIFY(shown(w).endsWith(QStringLiteral("收到文件：a.txt, 并改名为：") + name));
        QVERIFY(contents(name) == data);
        expected.append(name);
    }
    QCOMPARE(created(), expected);
}

void TestReceive::diskFull_data()
{
    QTest::addColumn<int>("freeKiB");
    QTest::addColumn<int>("size");

    QTest::newRow("full, file within the write buffer") << 0 << 1000;  // fails as close() flushes
    QTest::newRow("64 KiB free, 200 KiB file") << 64 << 200 * 1024;    // fails as a short write
    QTest::newRow("64 KiB free, 2 MiB file") << 64 << 2 * 1024 * 1024; // the same, off the window's thread
}

// A small tmpfs over the working folder, filled up; skipped where mounting is not allowed.
void TestReceive::diskFull()
{
    QFETCH(int, freeKiB);
    QFETCH(int, size);

#ifndef Q_OS_LINUX
    QSKIP("mounts a tmpfs");
#endif
    const QString mountPoint = QDir::currentPath();
    QProcess mount;
    mount.start("mount", {"-t", "tmpfs", "-o", "size=256k", "tavrel-test", mountPoint});
    if (!mount.waitForFinished(10000) || mount.exitStatus() != QProcess::NormalExit || mount.exitCode() != 0)
        QSKIP(qPrintable("cannot mount a tmpfs here: " + mount.readAllStandardError().trimmed()));
    const auto unmount = qScopeGuard([&] {
        QDir::setCurrent(m_root->path());
        if (QProcess::execute("umount", {mountPoint}) != 0)
            QProcess::execute("umount", {"-l", mountPoint});
        QDir::setCurrent(mountPoint);
    });
    QVERIFY(QDir::setCurrent(mountPoint)); // from the folder below into the mounted one

    QFile fill("fill");
    QVERIFY(fill.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray chunk(4096, 'f');
    while (fill.write(chunk) == chunk.size()) {
    }
    QVERIFY(fill.resize(fill.size() - freeKiB * 1024));
    fill.close();
    const qint64 filled = QFileInfo("fill").size();

    Widget w;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Cannot write file a.txt "));
    QVERIFY(w.handleMessage("fs,a.txt~+^`&" + QByteArray(size, 'd')));
    QVERIFY(handled(w));
    QCOMPARE(withoutStartNote(shown(w)), QStringLiteral("不能以只写方式文件：a.txt"));
    QCOMPARE(created(), QStringList{"fill"});
    QCOMPARE(QFileInfo("fill").size(), filled);
}

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
