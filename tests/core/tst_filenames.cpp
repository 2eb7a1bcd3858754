#include "filenames.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestFilenames : public QObject
{
    Q_OBJECT

private slots:
    void freshName_data();
    void freshName();
    void nameTakenWhileOpening();
};

void TestFilenames::freshName_data()
{
    QTest::addColumn<QString>("received");
    QTest::addColumn<QString>("present"); // blank-separated; "d:" a folder, "l:" a link to nothing
    QTest::addColumn<QString>("stored");

    QTest::newRow("free") << "a.txt"
                          << ""
                          << "a.txt";
    QTest::newRow("taken") << "a.txt"
                           << "a.txt"
                           << "a2.txt";
    QTest::newRow("taken twice") << "a.txt"
                                 << "a.txt a2.txt"
                                 << "a3.txt";
    QTest::newRow("gap filled first") << "a.txt"
                                      << "a.txt a3.txt"
                                      << "a2.txt";
    QTest::newRow("variants from the name received") << "a.txt"
                                                     << "a.txt a2.txt a22.txt"
                                                     << "a3.txt";
    QTest::newRow("folder counts as taken") << "a.txt"
                                            << "d:a.txt"
                                            << "a2.txt";
    QTest::newRow("link to nothing counts as taken") << "a.txt"
                                                     << "l:a.txt"
                                                     << "a2.txt";
    QTest::newRow("last dot") << "a.b.txt"
                              << "a.b.txt"
                              << "a.b2.txt";
    QTest::newRow("no dot") << "notes"
                            << "notes notes2.notes"
                            << "notes3.notes";
    QTest::newRow("trailing dot") << "file."
                                  << "file."
                                  << "file2.";
    QTest::newRow("leading dot") << ".cfg"
                                 << ".cfg"
                                 << "2.cfg";
    QTest::newRow("device variants passed over") << "lpt.txt"
                                                 << "lpt.txt"
                                                 << "lpt10.txt";
    QTest::newRow("device variants without dot") << "COM"
                                                 << "COM"
                                                 << "COM10.COM";
}

void TestFilenames::freshName()
{
    QFETCH(QString, received);
    QFETCH(QString, present);
    QFETCH(QString, stored);

    QTemporaryDir dir;
    const QStringList entries = present.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &entry : entries) {
        const QString path = dir.filePath(entry.section(QLatin1Char(':'), -1));
        QFile f(path);
        if (entry.startsWith(QLatin1String("d:")))
            QVERIFY(QDir().mkdir(path));
        else if (entry.startsWith(QLatin1String("l:")))
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), path));
        else
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write("old") == 3);
    }
    QFile file;
    QString name = received;
    QVERIFY(tavrel::createFreshFile(file, name, dir.path()));
    QCOMPARE(name, stored);
    QCOMPARE(file.fileName(), dir.filePath(stored));
    file.write("new");
    file.close();
    for (const QString &entry : entries) {
        QFile f(dir.filePath(entry));
        QVERIFY(entry.contains(QLatin1Char(':')) || (f.open(QIODevice::ReadOnly) && f.readAll() == "old"));
    }
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("nowhere"))));
}

// Another process creates the file between the choice of the name and the open.
class RacedFile : public QFile
{
public:
    bool open(OpenMode mode) override
    {
        QFile other(fileName());
        if (std::exchange(m_first, false) && other.open(QIODevice::WriteOnly))
            other.write("theirs");
        return QFile::open(mode);
    }
    bool m_first = true;
};

void TestFilenames::nameTakenWhileOpening()
{
    QTemporaryDir dir;
    RacedFile file;
    QString name = QStringLiteral("a.txt");
    QVERIFY(tavrel::createFreshFile(file, name, dir.path()));
    QCOMPARE(name, QStringLiteral("a2.txt"));
    QFile theirs(dir.filePath(QStringLiteral("a.txt")));
    QVERIFY(theirs.open(QIODevice::ReadOnly));
    QCOMPARE(theirs.readAll(), QByteArray("theirs"));
}

QTEST_GUILESS_MAIN(TestFilenames)
#include "tst_filenames.moc"
