#include "widgetprobe.h"

#include <QDir>
#include <QLoggingCategory>
#include <QTemporaryDir>

// A stand-in file manager, first on PATH, appends one line per start to a record file:
// each argument in brackets. The working folder's name holds blanks and Chinese.
class TestFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init() { QFile::remove(m_record); }
    void openFolder_data();
    void openFolder();
    void buttonOpensWorkingFolder();

private:
    QByteArray record() const
    {
        QFile file(m_record);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir{QDir::tempPath() + QStringLiteral("/tavrel folder 文件夹 XXXXXX")};
    QString m_record = m_dir.filePath("starts");
    QByteArray m_previousPath = qgetenv("PATH");
    QString m_previousDir = QDir::currentPath();
};

void TestFolder::initTestCase()
{
#if !defined(Q_OS_UNIX) || defined(Q_OS_MACOS)
    QSKIP("the stand-in takes the place of xdg-open");
#endif
    QVERIFY(QDir(m_dir.path()).mkdir("bin"));
    QFile script(m_dir.filePath("bin/xdg-open"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    // One write per start, so that two starts cannot interleave their lines.
    script.write("#!/bin/sh\nline=$(printf '[%s]' \"$@\")\nprintf '%s\\n' \"$line\" >> '" +
                 m_record.toUtf8() + "'\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    qputenv("PATH", m_dir.filePath("bin").toUtf8() + ':' + m_previousPath);
    QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, true);
}

void TestFolder::cleanupTestCase()
{
    qputenv("PATH", m_previousPath);
    QDir::setCurrent(m_previousDir);
}

void TestFolder::openFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("shell characters") << QStringLiteral("/tmp/a'b \"c\" $HOME;d`e`");
    QTest::newRow("leading blank and dash") << QStringLiteral(" -x/y");
}

void TestFolder::openFolder()
{
    QFETCH(QString, path);
    Widget w;
    w.openFolder(path);
    QTRY_COMPARE(record(), "[" + path.toUtf8() + "]\n");
}

void TestFolder::buttonOpensWorkingFolder()
{
    QVERIFY(QDir::setCurrent(m_dir.path()));
    Widget w;
    QTest::ignoreMessage(QtDebugMsg, m_dir.path().toUtf8().constData());
    click(w, "btnOpenFolder");
    QTRY_COMPARE(record(), "[" + m_dir.path().toUtf8() + "]\n");
    QCOMPARE(shown(w), QString());
}

QTEST_MAIN(TestFolder)
#include "tst_folder.moc"
