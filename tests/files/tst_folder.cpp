#include "logcapture.h"
#include "widget.h"
#include "widgetinspector.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// A stand-in file manager, first on PATH, records the arguments of every start in a file
// of its own, one argument per NUL-terminated field.
class TestFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init()
    {
        m_records.removeRecursively();
        QVERIFY(QDir().mkpath(m_records.path()));
    }
    void openFolder_data();
    void openFolder();
    void buttonOpensWorkingFolder();

private:
    // Waits for n starts and returns the argument lists they received, in no set order.
    QList<QStringList> starts(int n) const;

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/tavrel folder 文件夹 XXXXXX")};
    QDir m_records;
    QByteArray m_previousPath;
    QString m_previousDir;
};

void TestFolder::initTestCase()
{
#if !defined(Q_OS_UNIX) || defined(Q_OS_MACOS)
    QSKIP("the stand-in is written for xdg-open");
#endif
    QVERIFY(m_dir.isValid());
    QDir dir(m_dir.path());
    QVERIFY(dir.mkdir(QStringLiteral("bin")));
    m_records.setPath(dir.filePath(QStringLiteral("records")));
    QFile script(dir.filePath(QStringLiteral("bin/xdg-open")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    const QByteArray records = m_records.path().toUtf8();
    script.write("#!/bin/sh\n"
                 "out=$(mktemp \"" +
                 records +
                 "/start.XXXXXX\")\n"
                 "printf '%s\\0' \"$@\" > \"$out\"\n"
                 "mv \"$out\" \"$out.done\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    m_previousPath = qgetenv("PATH");
    qputenv("PATH", dir.filePath(QStringLiteral("bin")).toLocal8Bit() + ':' + m_previousPath);
    m_previousDir = QDir::currentPath();
}

void TestFolder::cleanupTestCase()
{
    qputenv("PATH", m_previousPath);
    QDir::setCurrent(m_previousDir);
}

QList<QStringList> TestFolder::starts(int n) const
{
    const QStringList filter{QStringLiteral("*.done")};
    if (!QTest::qWaitFor([&] { return m_records.entryList(filter, QDir::Files).size() >= n; }, 5000))
        return {};
    QTest::qWait(100); // a start too many would show up by now
    QList<QStringList> found;
    const QStringList names = m_records.entryList(filter, QDir::Files);
    for (const QString &name : names) {
        QFile file(m_records.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        QStringList arguments;
        const QList<QByteArray> fields = file.readAll().split('\0');
        for (qsizetype i = 0; i + 1 < fields.size(); ++i)
            arguments.append(QString::fromUtf8(fields.at(i)));
        found.append(arguments);
    }
    return found;
}

void TestFolder::openFolder_data()
{
    QTest::addColumn<QString>("path");

    QTest::newRow("plain") << QStringLiteral("/tmp");
    QTest::newRow("blanks and Chinese") << m_dir.path();
    QTest::newRow("shell characters") << QStringLiteral("/tmp/a'b \"c\" $HOME;d`e`");
    QTest::newRow("leading blank and dash") << QStringLiteral(" -x/y");
}

void TestFolder::openFolder()
{
    QFETCH(QString, path);
    Widget w;
    w.openFolder(path);
    QCOMPARE(starts(1), QList<QStringList>{QStringList{path}});
}

void TestFolder::buttonOpensWorkingFolder()
{
    QVERIFY(QDir::setCurrent(m_dir.path()));
    Widget w;
    LogCapture capture;
    QTest::mouseClick(WidgetInspector::button(w, "btnOpenFolder"), Qt::LeftButton);
    QTest::mouseClick(WidgetInspector::button(w, "btnOpenFolder"), Qt::LeftButton);
    const QStringList expected{m_dir.path()};
    QCOMPARE(starts(2), (QList<QStringList>{expected, expected}));
    QCOMPARE(capture.lines(), QStringList(2, "debug: " + m_dir.path()));
    QCOMPARE(WidgetInspector::textEdit(w, "textEditRead")->toPlainText(), QString());
}

QTEST_MAIN(TestFolder)
#include "tst_folder.moc"
