#include "testimages.h"
#include "widget.h"
#include "widgetprobe.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

// saveFile and showImage as the dispatch calls them, in a working directory "work" whose
// scratch parent holds files that stand for the rest of the disk.
class TestStorage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void hostileNames_data();
    void hostileNames();
    void showImage_data();
    void showImage();

private:
    static QStringList entries(const QString &path)
    {
        return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }
    static QByteArray contents(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
    }
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    }

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_previous;
};

void TestStorage::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir(m_root->path()).mkpath(QStringLiteral("work/sub")));
    write(m_root->filePath(QStringLiteral("x")), "outside");
    write(m_root->filePath(QStringLiteral("work/keep.txt")), "keep");
    m_previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_root->filePath(QStringLiteral("work"))));
}

void TestStorage::cleanup()
{
    QDir::setCurrent(m_previous);
    m_root.reset();
}

void TestStorage::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored"); // empty: refused

    QTest::newRow("parent") << "../x"
                            << "x";
    QTest::newRow("parent, backslash") << "..\\x"
                                       << "x";
    QTest::newRow("absolute") << "/x"
                              << "x";
    QTest::newRow("drive letter") << "C:\\x"
                                  << "x";
    QTest::newRow("down, then up twice") << "sub/../../x"
                                         << "x";
    QTest::newRow("existing name") << "sub/keep.txt"
                                   << "keep2.txt";
    for (const char *name :
         {":",   "x.txt:stream", "NUL.txt", "con",  "COM1.log", "lpt9",     "CONOUT$", "a|b",
          "a*?", "\"q\"",        "<a>",     "a\tb", "a\nb",     "a\x1b[2J", "a\x7f",   ".",
          "..",  "sub/..",       "sub/",    ""})
        QTest::newRow(name) << QString::fromLatin1(name) << QString();
    QTest::newRow("zero") << QStringLiteral("a") + QChar(0) + QStringLiteral("b") << QString();
    QTest::newRow("300 characters") << QString(300, QLatin1Char('n')) << QString();
}

void TestStorage::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);

    Widget w;
    const bool result = w.saveFile(name, "data");
    QCOMPARE(result, !stored.isEmpty());
    QVERIFY(!WidgetProbe::fileIn(w)->isOpen());
    QCOMPARE(entries(m_root->path()), (QStringList{"work", "x"}));
    QCOMPARE(contents(m_root->filePath(QStringLiteral("x"))), QByteArray("outside"));
    QCOMPARE(contents(QStringLiteral("keep.txt")), QByteArray("keep"));
    QVERIFY(entries(QStringLiteral("sub")).isEmpty());
    const QString read = WidgetProbe::textEdit(w, "textEditRead")->toPlainText();
    if (result) {
        QCOMPARE(name, stored);
        QCOMPARE(contents(stored), QByteArray("data"));
        QCOMPARE(entries(QStringLiteral(".")).size(), 3);
        QCOMPARE(read, QString());
    } else {
        QCOMPARE(read, QStringLiteral("不能以只写方式文件：") + name);
        QVERIFY(!name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')));
        QCOMPARE(entries(QStringLiteral(".")).size(), 2);
    }
}

void TestStorage::showImage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("size"); // invalid: refused

    QTest::newRow("PNG") << testimages::smallPng(5, 7) << QSize(5, 7);
    QTest::newRow("no image") << QByteArray("plain words") << QSize();
    QTest::newRow("empty file") << QByteArray() << QSize();
    // 17000 x 17000 grey pixels take 276 MiB, past the reader's allocation limit.
    QTest::newRow("declares 17000 x 17000") << testimages::blackGreyPng(17000, 17000) << QSize();
    QTest::newRow("1000 x 1000 grey") << testimages::blackGreyPng(1000, 1000) << QSize(1000, 1000);
}

void TestStorage::showImage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, size);

    Widget w;
    write(QStringLiteral("first.png"), testimages::smallPng(3, 3));
    QVERIFY(w.showImage(QStringLiteral("first.png")));
    QGraphicsPixmapItem *first = WidgetProbe::pixmapItem(w);
    write(QStringLiteral("b.png"), bytes);
    QCOMPARE(w.showImage(QStringLiteral("b.png")), size.isValid());
    QGraphicsPixmapItem *last = WidgetProbe::pixmapItem(w);
    QCOMPARE(WidgetProbe::scene(w)->items().size(), size.isValid() ? 2 : 1);
    QCOMPARE(last == first, !size.isValid());
    QCOMPARE(last->pixmap().size(), size.isValid() ? size : QSize(3, 3));
    QCOMPARE(last->pos(), QPointF(0, 0));
}

QTEST_MAIN(TestStorage)
#include "tst_storage.moc"
