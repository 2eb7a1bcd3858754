#include "filenames.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace tavrel;

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
    QTest::addColumn<QStringList>("present"); // "d:" a folder, "l:" a link to nothing
    QTest::addColumn<QString>("stored");

    QTest::newRow("free") << "a.txt" << QStringList() << "a.txt";
    QTest::newRow("taken") << "a.txt" << QStringList{"a.txt"} << "a2.txt";
    QTest::newRow("taken twice") << "a.txt" << QStringList{"a.txt", "a2.txt"} << "a3.txt";
    QTest::newRow("gap filled first") << "a.txt" << QStringList{"a.txt", "a3.txt"} << "a2.txt";
    QTest::newRow("folder counts as taken") << "a.txt" << QStringList{"d:a.txt"} << "a2.txt";
    QTest::newRow("dangling link counts as taken") << "a.txt" << QStringList{"l:a.txt"} << "a2.txt";
    QTest::newRow("last dot") << "a.b.txt" << QStringList{"a.b.txt"} << "a.b2.txt";
    QTest::newRow("no dot") << "notes" << QStringList{"notes"} << "notes2.notes";
    QTest::newRow("no dot, variant taken")
        << "notes" << QStringList{"notes", "notes2.notes"} << "notes3.notes";
    QTest::newRow("trailing dot") << "file." << QStringList{"file."} << "file2.";
    QTest::newRow("leading dot") << ".cfg" << QStringList{".cfg"} << "2.cfg";
    QTest::newRow("variant from the name received")
        << "a.txt" << QStringList{"a.txt", "a2.txt", "a22.txt"} << "a3.txt";
    QTest::newRow("variants that are devices skipped") << "lpt.txt" << QStringList{"lpt.txt"} << "lpt10.txt";
    QTest::newRow("device variants without dot skipped") << "COM" << QStringList{"COM"} << "COM10.COM";
    QTest::newRow("Chinese") << "报告.txt" << QStringList{"报告.txt"} << "报告2.txt";
}

void TestFilenames::freshName()
{
    QFETCH(QString, received);
    QFETCH(QStringList, present);
    QFETCH(QString, stored);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString &entry : present) {
        const QString path = dir.filePath(entry.mid(entry.indexOf(QLatin1Char(':')) + 1));
        if (entry.startsWith(QLatin1String("d:"))) {
            QVERIFY(QDir().mkdir(path));
        } else if (entry.startsWith(QLatin1String("l:"))) {
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), path));
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("old");
        }
    }

    QFile file;
    QString name = received;
    QVERIFY(createFreshFile(file, name, dir.path()));
    QCOMPARE(name, stored);
    QVERIFY(file.isOpen());
    file.write("new");
    file.close();
    QCOMPARE(file.fileName(), dir.filePath(stored));
    for (const QString &entry : present) {
        if (entry.contains(QLatin1Char(':')))
            continue;
        QFile f(dir.filePath(entry));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("old"));
    }
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("nowhere"))));
}

// Another process creates the file between the check for a free name and the open.
class RacedFile : public QFile
{
public:
    bool open(OpenMode mode) override
    {
        if (!m_raced) {
            m_raced = true;
            QFile other(fileName());
            if (other.open(QIODevice::WriteOnly))
                other.write("theirs");
        }
        return QFile::open(mode);
    }

private:
    bool m_raced = false;
};

void TestFilenames::nameTakenWhileOpening()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RacedFile file;
    QString name = QStringLiteral("a.txt");
    QVERIFY(createFreshFile(file, name, dir.path()));
    QCOMPARE(name, QStringLiteral("a2.txt"));
    file.write("ours");
    file.close();

    QFile theirs(dir.filePath(QStringLiteral("a.txt")));
    QVERIFY(theirs.open(QIODevice::ReadOnly));
    QCOMPARE(theirs.readAll(), QByteArray("theirs"));
}

QTEST_GUILESS_MAIN(TestFilenames)
#include "tst_filenames.moc"
