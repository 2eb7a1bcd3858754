#include "testimages.h"
#include "widget.h"
#include "widgetinspector.h"

#include <QDir>
#include <QDirIterator>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

// saveFile and showImage called as the dispatch calls them, in a fresh working directory
// "work" inside a scratch folder whose other entries stand for the rest of the disk.
class TestStorage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void hostileNames_data();
    void hostileNames();
    void repeatedName();
    void showImage_data();
    void showImage();

private:
    // Every file under the scratch folder but outside the working directory, with its bytes.
    QMap<QString, QByteArray> outside() const;
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_work;
    QString m_previousDir;
};

void TestStorage::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    QDir root(m_root->path());
    QVERIFY(root.mkpath(QStringLiteral("work/sub")));
    m_work = root.filePath(QStringLiteral("work"));
    // Files a name escaping the working directory would hit.
    for (const char *name : {"x", "abs", "x.txt"})
        write(root.filePath(QLatin1String(name)), "outside");
    write(QDir(m_work).filePath(QStringLiteral("keep.txt")), "keep");
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_work));
}

void TestStorage::cleanup()
{
    QDir::setCurrent(m_previousDir);
    m_root.reset();
}

QMap<QString, QByteArray> TestStorage::outside() const
{
    QMap<QString, QByteArray> files;
    QDirIterator it(m_root->path(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.startsWith(m_work + QLatin1Char('/')) || path == m_work)
            continue;
        QFile f(path);
        files.insert(path, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<dir>"));
    }
    return files;
}

void TestStorage::hostileNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("stored"); // empty: refused

    const QString root = QDir::temp().absolutePath();
    QTest::newRow("parent") << "../x"
                            << "x";
    QTest::newRow("parent, backslash") << "..\\x"
                                       << "x";
    QTest::newRow("absolute") << "/tmp/../abs"
                              << "abs";
    QTest::newRow("drive letter") << "C:\\x"
                                  << "x";
    QTest::newRow("down and up twice") << "sub/../../x"
                                       << "x";
    QTest::newRow("into a subfolder") << "sub/x.txt"
                                      << "x.txt";
    QTest::newRow("kept name") << "keep.txt"
                               << "keep2.txt";
    QTest::newRow("colon") << ":"
                           << "";
    QTest::newRow("data stream") << "x.txt:evil"
                                 << "";
    QTest::newRow("device") << "NUL.txt"
                            << "";
    QTest::newRow("device, lower case") << "con"
                                        << "";
    QTest::newRow("device, numbered") << "COM1.log"
                                      << "";
    QTest::newRow("device, console output") << "CONOUT$"
                                            << "";
    QTest::newRow("pipe") << "a|b"
                          << "";
    QTest::newRow("wildcards") << "a*?.txt"
                               << "";
    QTest::newRow("quote") << "\"q\""
                           << "";
    QTest::newRow("angle brackets") << "<a>"
                                    << "";
    QTest::newRow("tab") << "a\tb"
                         << "";
    QTest::newRow("newline") << "a\nb"
                             << "";
    QTest::newRow("escape") << "a\x1b[2Jb"
                            << "";
    QTest::newRow("delete") << "a\x7f"
                            << "";
    QTest::newRow("zero") << QStringLiteral("a") + QChar(0) + "b"
                          << "";
    QTest::newRow("dot") << "."
                         << "";
    QTest::newRow("dot dot") << ".."
                             << "";
    QTest::newRow("parent of a folder") << "sub/.."
                                        << "";
    QTest::newRow("folder only") << "sub/"
                                 << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("300 characters") << QString(300, QLatin1Char('n')) << "";
    QTest::newRow("plain") << "fine.txt"
                           << "fine.txt";
}

void TestStorage::hostileNames()
{
    QFETCH(QString, name);
    QFETCH(QString, stored);

    Widget w;
    const QMap<QString, QByteArray> before = outside();
    QString used = name;
    const bool result = w.saveFile(used, QByteArray("data"));

    QCOMPARE(outside(), before);
    QCOMPARE(QDir(m_work + QStringLiteral("/sub")).isEmpty(), true);
    QStringList expected{QStringLiteral("keep.txt"), QStringLiteral("sub")};
    const QString read = WidgetInspector::textEdit(w, "textEditRead")->toPlainText();
    if (stored.isEmpty()) {
        QVERIFY(!result);
        QVERIFY(read.startsWith(QStringLiteral("不能以只写方式文件：")));
        QCOMPARE(read.mid(10), used);
        QVERIFY(!used.contains(QLatin1Char('/')) && !used.contains(QLatin1Char('\\')));
    } else {
        QVERIFY(result);
        QCOMPARE(used, stored);
        QCOMPARE(read, QString());
        expected.append(stored);
        QFile f(stored);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("data"));
    }
    expected.sort();
    QCOMPARE(QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             expected);
    QFile keep(QStringLiteral("keep.txt"));
    QVERIFY(keep.open(QIODevice::ReadOnly));
    QCOMPARE(keep.readAll(), QByteArray("keep"));
    QVERIFY(!WidgetInspector::fileIn(w)->isOpen());
}

void TestStorage::repeatedName()
{
    Widget w;
    const QStringList expected{QStringLiteral("r.log"), QStringLiteral("r2.log"), QStringLiteral("r3.log")};
    for (int i = 0; i < expected.size(); ++i) {
        QString name = QStringLiteral("r.log");
        QVERIFY(w.saveFile(name, QByteArray::number(i)));
        QCOMPARE(name, expected.at(i));
    }
    for (int i = 0; i < expected.size(); ++i) {
        QFile f(expected.at(i));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray::number(i));
    }
    QString empty = QStringLiteral("zero.bin");
    QVERIFY(w.saveFile(empty, QByteArray()));
    QVERIFY(QFileInfo(QStringLiteral("zero.bin")).isFile());
    QCOMPARE(QFileInfo(QStringLiteral("zero.bin")).size(), 0);
}

void TestStorage::showImage_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size"); // invalid: refused

    QTest::newRow("PNG") << testimages::smallPng(5, 7) << "b.png" << QSize(5, 7);
    QTest::newRow("PNG under another suffix") << testimages::smallPng(2, 9) << "b.jpg" << QSize(2, 9);
    QTest::newRow("no image") << QByteArray("plain words") << "b.png" << QSize();
    QTest::newRow("empty file") << QByteArray() << "b.png" << QSize();
    QTest::newRow("no file") << QByteArray() << "" << QSize();
    // 17000 x 17000 grey pixels need 276 MiB, beyond the reader's allocation limit.
    QTest::newRow("declares 17000 x 17000")
        << testimages::blackGreyPng(17000, 17000) << "huge.png" << QSize();
    QTest::newRow("1000 x 1000 stays allowed")
        << testimages::blackGreyPng(1000, 1000) << "grey.png" << QSize(1000, 1000);
}

void TestStorage::showImage()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QFETCH(QSize, size);

    Widget w;
    QGraphicsScene *scene = WidgetInspector::scene(w);
    write(QStringLiteral("first.png"), testimages::smallPng(3, 3));
    QVERIFY(w.showImage(QStringLiteral("first.png")));
    QGraphicsPixmapItem *first = WidgetInspector::pixmapItem(w);

    if (!name.isEmpty())
        write(name, bytes);
    const QString path = name.isEmpty() ? QStringLiteral("missing.png") : name;
    QCOMPARE(w.showImage(path), size.isValid());
    if (!size.isValid()) {
        QCOMPARE(scene->items().size(), 1);
        QCOMPARE(WidgetInspector::pixmapItem(w), first);
        return;
    }
    QCOMPARE(scene->items().size(), 2);
    QGraphicsPixmapItem *second = WidgetInspector::pixmapItem(w);
    QVERIFY(second != first && scene->items().contains(second));
    QCOMPARE(second->pixmap().size(), size);
    QCOMPARE(second->pos(), first->pos());
    QVERIFY(QFileInfo::exists(path));
}

QTEST_MAIN(TestStorage)
#include "tst_storage.moc"
