#include "registration.h"

#include "protocol.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QSettings>
#include <QStorageInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <memory>

#include <windows.h>

#include <shlobj.h>
#include <shobjidl.h>

using namespace Qt::StringLiterals;

namespace {

// A visible top-level window: of the process pid, or, with a title, one of another process
// than this one whose title contains it.
HWND visibleWindow(DWORD pid, const QString &title = QString())
{
    QList<HWND> windows;
    EnumWindows(
        [](HWND window, LPARAM list) -> BOOL {
            reinterpret_cast<QList<HWND> *>(list)->append(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    for (HWND window : std::as_const(windows)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        wchar_t text[512];
        const QString shown = QString::fromWCharArray(text, GetWindowTextW(window, text, 512));
        const bool match =
            title.isEmpty() ? process == pid
                            : process != GetCurrentProcessId() && shown.contains(title, Qt::CaseInsensitive);
        if (match && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

QString knownFolder(int csidl)
{
    wchar_t path[MAX_PATH];
    return SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))
               ? QString::fromWCharArray(path)
               : QString();
}

// Whether the volume that holds path keeps named streams.
bool namedStreams(const QString &path)
{
    const QString root = QDir::toNativeSeparators(QStorageInfo(path).rootPath());
    DWORD flags = 0;
    return GetVolumeInformationW(reinterpret_cast<const wchar_t *>(root.utf16()), nullptr, 0, nullptr,
                                 nullptr, &flags, nullptr, 0) &&
           (flags & FILE_NAMED_STREAMS);
}

// Until the guard it returns goes: folder first on the program search path, and the
// stand-in explorer.exe writing to log.
[[nodiscard]] auto stubOnPath(const QString &folder, const QString &log)
{
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QDir::toNativeSeparators(folder).toLocal8Bit() + ';' + path);
    SetEnvironmentVariableW(L"TAVREL_STUB_LOG",
                            reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(log).utf16()));
    return qScopeGuard([path] { qputenv("PATH", path); });
}

// Clicks 打开文件夹 in the window of the real tavrel.exe that process runs, with the stand-in
// explorer.exe first on its program search path, and closes the window. The folder that the
// stand-in was asked to show, or "" when none.
QString folderOpenedBy(DWORD pid, const QString &log)
{
    HWND window = nullptr;
    if (!QTest::qWaitFor([&] { return (window = visibleWindow(pid)) != nullptr; }, 30000))
        return u"<no window>"_s;
    QTest::qWait(500); // the window takes clicks once it has been shown
    const LPARAM at = MAKELPARAM(340 + 71 / 2, 470 + 18 / 2); // btnOpenFolder
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(window, WM_LBUTTONUP, 0, at);
    const bool opened = QTest::qWaitFor([&] { return QFile::exists(log); }, 20000);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (!QTest::qWaitFor([&] { return !visibleWindow(pid); }, 10000))
        return u"<window stays>"_s;
    return opened ? QString::fromUtf8(contents(log)).split(u'\n').value(1) : QString();
}

} // namespace

// The client on a Windows file system and a Windows command line: what Linux tests cannot
// see. session() needs a tavrel-server on 127.0.0.1:12345 and is skipped without one.
class TestWindows : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_work;
    QString m_home = QDir::currentPath();

    // The folder of the stand-in explorer.exe, beside this test.
    static QString stubFolder() { return QCoreApplication::applicationDirPath() + u"/explorer-stub"_s; }

    // The display names of the programs that Windows lists for removal.
    static QStringList uninstallEntries()
    {
        QSettings uninstall(u"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"_s,
                            QSettings::Registry64Format);
        QStringList names;
        for (const QString &key : uninstall.childGroups())
            names << uninstall.value(key + u"/DisplayName"_s).toString();
        return names;
    }

    static QString shortcutWorkingFolder(const QString &path)
    {
        CoInitialize(nullptr);
        IShellLinkW *link = nullptr;
        IPersistFile *file = nullptr;
        wchar_t folder[MAX_PATH] = {};
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                       reinterpret_cast<void **>(&link))) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file))) &&
            SUCCEEDED(file->Load(reinterpret_cast<const wchar_t *>(path.utf16()), STGM_READ)))
            link->GetWorkingDirectory(folder, MAX_PATH);
        if (file)
            file->Release();
        if (link)
            link->Release();
        return QString::fromWCharArray(folder);
    }

private slots:
    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        QVERIFY(m_work->isValid());
        QVERIFY(QDir::setCurrent(m_work->path()));
    }

    void cleanup()
    {
        QDir::setCurrent(m_home);
        m_work.reset();
    }

    void explorerArgument_data()
    {
        QTest::addColumn<QString>("folder");
        for (const char *folder : {"我的 文件 2", "a & b 50%"})
            QTest::newRow(folder) << QString::fromUtf8(folder);
    }

    // The stand-in explorer.exe comes first on the program search path, and a copy of it lies
    // in the working directory, where received files land; Windows would start that one
    // first for a bare name. The click must start the one on the search path and hand it the
    // whole working directory as one argument, with backslashes.
    void explorerArgument()
    {
        QFETCH(QString, folder);
        const QString dir = m_work->filePath(folder);
        const QString bin = m_work->filePath(u"bin"_s);
        QVERIFY(QDir().mkpath(dir) && QDir().mkpath(bin));
        const QString stub = stubFolder() + u"/explorer.exe"_s;
        QVERIFY2(QFile::copy(stub, bin + u"/explorer.exe"_s), qPrintable(stub));
        QVERIFY(QFile::copy(stub, dir + u"/explorer.exe"_s));
        const QString log = m_work->filePath(u"arguments.txt"_s);
        const auto onPath = stubOnPath(bin, log);
        QVERIFY(QDir::setCurrent(dir));

        Widget w;
        click(w, "btnOpenFolder");
        // Under Wine the renamed file can show before it opens.
        QTRY_VERIFY_WITH_TIMEOUT(contents(log) != "<none>", 10000);
        const QStringList lines = QString::fromUtf8(contents(log)).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.value(0).toLower(), QDir::toNativeSeparators(bin + u"/explorer.exe"_s).toLower());
        QCOMPARE(lines.mid(1), QStringList{QDir::toNativeSeparators(dir)});
    }

    void receivedNames_data()
    {
        // Blank-separated; a trailing "/" makes a folder, "!" a read-only file.
        QTest::addColumn<QString>("present");
        QTest::addColumn<bool>("image");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stored"); // empty: refused

        const auto row = [](const char *present, const char *name, const char *stored, bool image = false) {
            QTest::addRow("%s%s%s", name, *present ? " beside " : "", present)
                << QString::fromUtf8(present) << image << QString::fromUtf8(name)
                << QString::fromUtf8(stored);
        };
        // On Windows these names reach a device wherever they stand: the bytes would go to the
        // console, a port or nowhere, and the window would report a file that does not exist. The
        // rest of the devices and streams are tst_receive's storedNames rows.
        for (const char *name : {"nul.tar.gz", "PRN.log", "CONIN$", "Nul .txt"})
            row("", name, "");
        // Exclusive creation on Wine's file system, which, like Windows, matches names without
        // regard to case and drops the dots and blanks at the end of a name: nothing present is
        // overwritten, and the name reported is where the bytes are.
        row("", "报告.txt", "报告.txt");
        row("NOTES.TXT", "notes.txt", "notes2.txt");
        row("a.txt A2.TXT", "a.txt", "a3.txt");
        row("a.txt/", "a.txt", "a2.txt");
        row("ro.txt!", "ro.txt", "ro2.txt");
        row("", "notes.", "notes");
        row("readme", "readme.", "readme2");
        row("a.txt", "a.txt. .", "a.txt. 2");
        row("", "shot.", "shot", true);
        // What Windows would load, run or read as it shows the folder keeps its bytes under a
        // name it leaves alone, an image's too; tst_receive tries every family of names.
        row("", "pic.lnk", "pic.lnk_", true);
    }

    // A file or image message from the server, as the receive handler gets it, stored by the
    // rules of the Windows file system.
    void receivedNames()
    {
        QFETCH(QString, present);
        QFETCH(bool, image);
        QFETCH(QString, name);
        QFETCH(QString, stored);

        QStringList expected;
        for (QString entry : present.split(u' ', Qt::SkipEmptyParts)) {
            const QChar kind = entry.back();
            if (kind == u'/' || kind == u'!')
                entry.chop(1);
            QVERIFY(kind == u'/' ? QDir().mkdir(entry) : write(entry, "before"));
            QVERIFY(kind != u'!' || QFile::setPermissions(entry, QFile::ReadOwner | QFile::ReadUser));
            expected << entry;
        }
        Widget w;
        const QByteArray data = image ? png(4, 3) : u"第一行\r\nline 2\n"_s.toUtf8();
        w.handleMessage(image ? imageMessage(name.toUtf8(), data, "server")
                              : fileMessage(name.toUtf8(), data));
        // Images are decoded off the window's thread; their lines follow the decode.
        QVERIFY(messagesHandled(w));
        const QString line = stored.isEmpty()
                                 ? u"不能以只写方式文件："_s + name
                                 : (image ? u"收到server 发来的文件："_s : u"收到文件："_s) + name +
                                       (stored == name ? QString() : u", 并改名为："_s + stored);
        QVERIFY2(shown(w).split(u'\n').contains(line), qPrintable(shown(w)));
        for (const QString &entry : std::as_const(expected)) {
            if (QFileInfo(entry).isFile())
                QCOMPARE(contents(entry), QByteArray("before"));
            QFile::setPermissions(entry, QFile::ReadOwner | QFile::WriteOwner);
        }
        if (!stored.isEmpty())
            expected << stored;
        expected.sort(Qt::CaseInsensitive);
        QCOMPARE(entries(), expected);
        if (!stored.isEmpty()) {
            QCOMPARE(contents(stored), data);
            // Marked as come from the Internet wherever the volume keeps streams.
            QCOMPARE(contents(QFileInfo(stored).absoluteFilePath() + u":Zone.Identifier"_s),
                     namedStreams(stored) ? QByteArray("[ZoneTransfer]\r\nZoneId=3\r\n")
                                          : QByteArray("<none>"));
        }
        QCOMPARE(WidgetProbe::scene(w)->items().size(), image && !stored.isEmpty() ? 1 : 0);
    }

    // tavrel.msi, installed, started from its shortcut and in its own folder, and removed
    // again with msiexec.
    void installer()
    {
        const QString msi = qEnvironmentVariable("TAVREL_CHECK_MSI");
        if (msi.isEmpty())
            QSKIP("TAVREL_CHECK_MSI names no tavrel.msi");
        const auto msiexec = [](const QStringList &arguments) {
            QProcess process;
            process.start(u"msiexec"_s, arguments);
            return process.waitForFinished(300000) && process.exitCode() == 0;
        };
        const QString installed =
            qEnvironmentVariable("ProgramW6432", u"C:\\Program Files"_s) + u"\\Tavrel\\tavrel.exe"_s;
        const QString documents = knownFolder(CSIDL_PERSONAL) + u"\\Tavrel"_s;
        QVERIFY(!QFile::exists(installed) && !QFileInfo::exists(documents));
        QVERIFY(msiexec({u"/i"_s, msi, u"/qn"_s}));
        QVERIFY(QFile::exists(installed));
        QVERIFY(QFileInfo(documents).isDir());
        QVERIFY(uninstallEntries().contains(u"Tavrel"_s));

        // Wine puts the shortcut of a per-machine install among the user's programs.
        QString shortcut = knownFolder(CSIDL_COMMON_PROGRAMS) + u"\\Tavrel.lnk"_s;
        if (!QFile::exists(shortcut))
            shortcut = knownFolder(CSIDL_PROGRAMS) + u"\\Tavrel.lnk"_s;
        QVERIFY(QFile::exists(shortcut));
        QCOMPARE(QDir::cleanPath(QDir::fromNativeSeparators(shortcutWorkingFolder(shortcut))).toLower(),
                 QDir::cleanPath(QDir::fromNativeSeparators(documents)).toLower());

        const QString log = m_work->filePath(u"opened.txt"_s);
        const auto onPath = stubOnPath(stubFolder(), log);
        // Started in its own folder, as from the unpacked zip, the window makes Documents\Tavrel
        // and works there. (Started elsewhere it stays there: tst_window's launch.)
        QVERIFY(QDir(documents).removeRecursively());
        QProcess tavrel;
        tavrel.setWorkingDirectory(QFileInfo(installed).path());
        tavrel.start(installed, QStringList());
        QVERIFY2(tavrel.waitForStarted(10000), qPrintable(tavrel.errorString()));
        QCOMPARE(folderOpenedBy(DWORD(tavrel.processId()), log).toLower(), documents.toLower());
        // Waiting for the window to go may already have seen the process end, and
        // waitForFinished() is false for a process that has ended.
        QVERIFY(tavrel.state() == QProcess::NotRunning || tavrel.waitForFinished(10000));

        QVERIFY(QFile::remove(log));
        // As Explorer opens it; Wine hands back no process for a shortcut, so the window is
        // found by its title.
        const auto started =
            ShellExecuteW(nullptr, nullptr, reinterpret_cast<const wchar_t *>(shortcut.utf16()), nullptr,
                          nullptr, SW_SHOWNORMAL);
        QVERIFY2(quintptr(started) > 32,
                 qPrintable(QString::number(quintptr(started)))); // else an error code
        HWND window = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((window = visibleWindow(0, u"Widget"_s)) != nullptr, 30000);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        QCOMPARE(folderOpenedBy(pid, log).toLower(), documents.toLower());

        QVERIFY(msiexec({u"/x"_s, msi, u"/qn"_s}));
        QVERIFY(!QFile::exists(installed));
        QVERIFY(!QFile::exists(shortcut));
        QVERIFY(!uninstallEntries().contains(u"Tavrel"_s));
    }

    void quietGaps_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<int>("messages");

        const QByteArray chat = tavrel::chatLine(u"alice: 你好"_s);
        const QByteArray file = fileMessage("a.txt", QByteArray(1000, 'x'));
        QTest::newRow("chat, 5 ms") << chat << 5 << 1;
        QTest::newRow("chat, 150 ms") << chat << 150 << 2;
        QTest::newRow("file, 700 ms") << file << 700 << 1;
        QTest::newRow("file, gap + 400 ms") << file << tavrel::kFileQuietGapMs + 400 << 2;
    }

    // The message boundaries over a real loopback connection with the timers of the Windows
    // event dispatcher: a pause well inside the gap joins, one well past it splits, and no
    // message ends before its gap has passed.
    void quietGaps()
    {
        QFETCH(QByteArray, first);
        QFETCH(int, pauseMs);
        QFETCH(int, messages);

        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(server.waitForNewConnection(5000) && client.waitForConnected(5000));
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());

        tavrel::MessageAssembler assembler;
        QElapsedTimer sinceLastWrite;
        QList<qint64> endedAfter;
        connect(&client, &QTcpSocket::readyRead, &assembler, [&] { assembler.append(client.readAll()); });
        connect(&assembler, &tavrel::MessageAssembler::messageReady, this,
                [&] { endedAfter << sinceLastWrite.elapsed(); });

        const int half = int(first.size() / 2);
        for (const QByteArray &part : {first.left(half), first.mid(half)}) {
            if (sinceLastWrite.isValid() && pauseMs > 0)
                QTest::qWait(pauseMs);
            peer->write(part);
            QVERIFY(peer->waitForBytesWritten(5000));
            sinceLastWrite.start();
        }
        QTRY_COMPARE_WITH_TIMEOUT(endedAfter.size(), messages, 5000);
        QTest::qWait(tavrel::kFileQuietGapMs + 100);
        QCOMPARE(endedAfter.size(), messages);

        // The gap of the last message: a split leaves it starting with the second half.
        QVERIFY(endedAfter.constLast() >= tavrel::quietGapFor(messages == 1 ? first.at(0) : first.at(half)));
    }

    // The real server, as a Windows user meets it: register with the code from the mail, log
    // in, chat, send a text file from a path with a drive letter and ask for it back, receive an
    // image, and open the folder in Explorer. A picture of the screen is left for the person who
    // runs the check.
    void session()
    {
        const QString data = qEnvironmentVariable("TAVREL_CHECK_SERVER_DATA");
        if (data.isEmpty())
            QSKIP("TAVREL_CHECK_SERVER_DATA names no server data folder: no server to talk to");
        const QString screenshot = qEnvironmentVariable("TAVREL_CHECK_SCREENSHOT");

        Widget w;
        w.show();
        w.move(10, 10);
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        startAsNewUser(w, QDir(data + u"/outbox"_s), u"窗口用户"_s, u"windows@example.org"_s);
        if (QTest::currentTestFailed())
            return;
        chat(w, u"窗口用户"_s, u"你好，来自 Windows 的问候"_s);

        // From another folder, given as a Windows user types it: drive letter and backslashes.
        QTemporaryDir outgoing(QDir::tempPath() + u"/发出 的 文件-XXXXXX"_s);
        QVERIFY(outgoing.isValid());
        const QString source = QDir::toNativeSeparators(outgoing.filePath(u"说明.txt"_s));
        sendAndFetchBack(w, source, u"说明.txt"_s, u"Windows 行尾\r\n第二行\r\n"_s.toUtf8());
        if (QTest::currentTestFailed())
            return;

        // Put into the server's folder by the check.
        fetch(w, u"tavrel.png"_s, u"收到的图片：tavrel.png 在图片标签页里显示"_s);
        QCOMPARE(WidgetProbe::scene(w)->items().size(), 1);

        // The real Explorer, whose window is titled after the folder it shows.
        const QString folder = QDir::current().dirName();
        QVERIFY(!visibleWindow(0, folder));
        click(w, "btnOpenFolder");
        HWND explorer = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT((explorer = visibleWindow(0, folder)) != nullptr, 30000);
        SetWindowPos(explorer, HWND_TOP, 460, 10, 800, 560, SWP_SHOWWINDOW);

        if (!screenshot.isEmpty()) {
            QTest::qWait(1500); // Explorer fills its list after the window shows
            const QPixmap shot = w.screen()->grabWindow(0);
            QVERIFY2(shot.save(screenshot, "PNG"), qPrintable(screenshot));
            qInfo().noquote() << "screenshot" << shot.width() << "x" << shot.height() << "in" << screenshot;
        }
        PostMessageW(explorer, WM_CLOSE, 0, 0);
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow(0, folder), 10000);
    }
};

QTEST_MAIN(TestWindows)
#include "tst_windows.moc"
