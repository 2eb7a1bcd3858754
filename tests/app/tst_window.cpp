#include "scriptedpeer.h"

#include <QDir>
#include <QGraphicsView>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTabWidget>
#include <QTemporaryDir>

// The form and the connect button; the connection tests bind port 12345 on loopback only.
class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    // Every control's class and place, the exact caption of each label and button, and the
    // pages and fields as the window starts.
    void controls()
    {
        Widget w;
        const char *rows[][4] = {
            {"label_3", "QLabel", "20,100,51,16", "接收窗口"},
            {"textEditWrite", "QTextEdit", "20,330,281,101", ""},
            {"label_4", "QLabel", "20,310,51,16", "发送窗口"},
            {"btnConnect", "QPushButton", "320,10,71,18", "连接服务器"},
            {"btnSend", "QPushButton", "130,440,56,18", "发送"},
            {"label_5", "QLabel", "20,40,31,20", "网名："},
            {"lineEditName", "QLineEdit", "50,40,71,20", ""},
            {"btnLog", "QPushButton", "330,70,56,18", "登录"},
            {"btnReg", "QPushButton", "330,40,56,18", "注册"},
            {"label_6", "QLabel", "20,70,31,20", "邮箱："},
            {"lineEditEmail", "QLineEdit", "50,70,71,20", ""},
            {"label_7", "QLabel", "180,10,41,20", "密码:"},
            {"lineEditPasswd", "QLineEdit", "230,10,71,20", ""},
            {"label_8", "QLabel", "150,40,81,20", "再次输入密码:"},
            {"lineEditPasswd2", "QLineEdit", "230,40,71,20", ""},
            {"label_9", "QLabel", "160,70,71,20", "邮箱验证码："},
            {"lineEditCheckCode", "QLineEdit", "230,70,71,20", ""},
            {"label_10", "QLabel", "20,10,121,20", "Tavrel"},
            {"label_11", "QLabel", "320,310,51,16", "在线用户"},
            {"textEditUsers", "QTextEdit", "320,330,91,101", ""},
            {"btnSendFile", "QPushButton", "270,470,56,18", "发送文件"},
            {"label", "QLabel", "20,470,101,16", "要发送的文件名："},
            {"lineEditFile", "QLineEdit", "120,470,141,20", ""},
            {"label_2", "QLabel", "20,500,101,16", "要接收的文件名："},
            {"lineEditFile2", "QLineEdit", "120,500,141,20", ""},
            {"btnReceiveFile", "QPushButton", "270,500,56,18", "接收文件"},
            {"btnOpenFolder", "QPushButton", "340,470,71,18", "打开文件夹"},
            {"tabWidget", "QTabWidget", "10,120,401,181", ""},
            // The pages of the tabs, in order: the picture page comes after the message and text
            // file pages.
            {"textEditRead", "QTextEdit", "0,0,401,161", "信息"},
            {"textEditFile", "QTextEdit", "0,0,401,161", "文本文件"},
            {"graphicsViewImage", "QGraphicsView", "0,0,401,161", "图片"},
        };
        auto *tabs = WidgetProbe::control<QTabWidget>(w, "tabWidget");
        int page = 0;
        for (const auto &row : rows) {
            QWidget *control = WidgetProbe::control(w, row[0]);
            QVERIFY2(control, row[0]);
            const QStringList g = QString::fromLatin1(row[2]).split(QLatin1Char(','));
            QCOMPARE(control->metaObject()->className(), row[1]);
            QCOMPARE(control->geometry(), QRect(g[0].toInt(), g[1].toInt(), g[2].toInt(), g[3].toInt()));
            if (auto *label = qobject_cast<QLabel *>(control))
                QCOMPARE(label->text(), QString::fromUtf8(row[3]));
            else if (auto *button = qobject_cast<QAbstractButton *>(control))
                QCOMPARE(button->text(), QString::fromUtf8(row[3]));
            else if (*row[3])
                QVERIFY2(tabs->tabText(page) == QString::fromUtf8(row[3]) &&
                             control->parentWidget() == tabs->widget(page++),
                         row[0]);
        }
        QVERIFY(tabs->count() == page && tabs->currentIndex() == 0);
        QCOMPARE(WidgetProbe::control<QGraphicsView>(w, "graphicsViewImage")->scene(), WidgetProbe::scene(w));
        for (const char *name : {"lineEditPasswd", "lineEditPasswd2"})
            QCOMPARE(WidgetProbe::lineEdit(w, name)->echoMode(), QLineEdit::Password);
    }

    void candidates_data()
    {
        QTest::addColumn<QString>("listenOn"); // empty: no server at all
        QTest::newRow("first candidate accepts") << "127.0.0.2";
        QTest::newRow("only the third accepts") << "127.0.0.1";
        QTest::newRow("none accepts") << "";
    }

    // Then, on the connection made: the peer closes it, the user connects again, logs in and
    // disconnects, and clicks again with no server.
    void candidates()
    {
        QFETCH(QString, listenOn);

        ScriptedPeer peer, third;
        QVERIFY(listenOn.isEmpty() || peer.listen(listenOn));
        // Must not be reached when an earlier candidate accepts.
        QVERIFY(listenOn != QLatin1String("127.0.0.2") || third.listen());

        Widget w;
        WidgetProbe::setServerAddresses(w, {"127.0.0.2", "127.0.0.3", "127.0.0.1"});
        WidgetProbe::textEdit(w, "textEditRead")->setPlainText(QStringLiteral("old line"));
        setSendButtonsEnabled(w, true);
        click(w, "btnConnect");

        QTcpSocket *socket = WidgetProbe::socket(w);
        QPushButton *button = WidgetProbe::button(w, "btnConnect");
        const bool found = !listenOn.isEmpty();
        QCOMPARE(socket->state(),
                 found ? QAbstractSocket::ConnectedState : QAbstractSocket::UnconnectedState);
        QCOMPARE(button->text(), found ? QStringLiteral("断开") : QStringLiteral("连接服务器"));
        QCOMPARE(shown(w), found ? QStringLiteral("成功和服务器连接") : QStringLiteral("old line"));
        if (!found)
            return;
        QCOMPARE(socket->peerAddress(), QHostAddress(listenOn));
        QCOMPARE(sendButtonsEnabled(w), 0);
        QTRY_COMPARE(peer.connectionCount(), 1);
        QTest::qWait(50);
        QCOMPARE(third.connectionCount(), 0);

        // A connection the peer closes goes unnoticed: caption and buttons stay (and the message
        // box, as tst_receive's cutMessage shows).
        setSendButtonsEnabled(w, true);
        peer.closeClient();
        QTRY_COMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(button->text(), QStringLiteral("断开"));
        QCOMPARE(sendButtonsEnabled(w), 3);

        // So the next click connects again instead of disconnecting; the buttons wait for a login.
        click(w, "btnConnect");
        QTRY_COMPARE(peer.connectionCount(), 2);
        QCOMPARE(button->text(), QStringLiteral("断开"));
        QCOMPARE(shown(w), QStringLiteral("成功和服务器连接"));
        QCOMPARE(sendButtonsEnabled(w), 0);

        // Signed in, then disconnected by the user.
        setSendButtonsEnabled(w, true);
        click(w, "btnConnect");
        QCOMPARE(button->text(), QStringLiteral("连接"));
        QCOMPARE(sendButtonsEnabled(w), 0);

        // With no server the caption stays "连接", never the start caption.
        peer.close();
        third.close();
        click(w, "btnConnect");
        QCOMPARE(button->text(), QStringLiteral("连接"));
    }

    void launch_data()
    {
        QTest::addColumn<QString>("start");
        QTest::newRow("menu entry") << "menu";
        QTest::newRow("program's own folder") << "program folder";
        // From a terminal, and closed on a connection that has brought half a file.
        QTest::newRow("terminal, closed while receiving") << "receiving";
    }

    // The real tavrel, started as the user would: the folder it works in and what the message
    // box says of it; closed, it exits as a closed window should, with code 0, and stores
    // nothing. (What 打开文件夹 hands the file manager is tst_sending's openFolder; the window
    // deleted while it receives is tst_receive's cutMessage.)
    void launch()
    {
#if !defined(TAVREL_CLOSE_HOOK) || !defined(TAVREL_DESKTOP_ENTRY)
        QSKIP("needs a library preloaded into tavrel");
#else
        QFETCH(QString, start);
        if (start == "menu" && QStandardPaths::findExecutable("gio").isEmpty())
            QSKIP("needs gio, which launches menu entries as a desktop does");
        const bool receiving = start == "receiving", fromHome = start == "menu" || start == "program folder";
        ScriptedPeer peer;
        QVERIFY(peer.listen());
        QTemporaryDir root;
        const QString home = root.filePath("home"), work = root.filePath("work"),
                      own = root.filePath("program");
        for (const QString &dir : {home, work, own})
            QVERIFY(QDir().mkpath(dir));
        const QString program = start == "program folder" ? own + "/tavrel" : QStringLiteral(TAVREL_BINARY);
        QVERIFY(program == TAVREL_BINARY || QFile::copy(TAVREL_BINARY, program));

        // A tavrel that closes its window when the hook is told to (closehook.cpp).
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        const QString preloaded = env.value("LD_PRELOAD");
        env.insert("LD_PRELOAD", preloaded.isEmpty() ? TAVREL_CLOSE_HOOK : TAVREL_CLOSE_HOOK ":" + preloaded);
        // A sanitizer build wants its runtime first; the hook comes first here.
        env.insert("ASAN_OPTIONS", "verify_asan_link_order=0");
        env.insert("TAVREL_CLOSE_WHEN", receiving ? "bytes" : "started");
        env.insert("HOME", home);
        env.insert("PATH", QFileInfo(TAVREL_BINARY).path() + ':' + env.value("PATH"));
        env.insert("TAVREL_HOOK_REPORT", root.filePath("report"));
        QProcess tavrel;
        tavrel.setProcessEnvironment(env);
        tavrel.setWorkingDirectory(start == "menu" ? home : start == "program folder" ? own : work);
        if (start == "menu") {
            // The window outlives gio, which would leave it writing to a closed pipe.
            tavrel.setStandardOutputFile(QProcess::nullDevice());
            tavrel.setStandardErrorFile(QProcess::nullDevice());
            tavrel.start("gio", {"launch", TAVREL_DESKTOP_ENTRY});
        } else {
            tavrel.start(program, QStringList());
        }
        QVERIFY2(tavrel.waitForStarted(5000), qPrintable(tavrel.errorString()));
        if (receiving) {
            QTRY_COMPARE_WITH_TIMEOUT(peer.connectionCount(), 1, 10000);
            QVERIFY(peer.send("fs,half.txt~+^`&" + QByteArray(50000, 'h')));
        }
        QVERIFY(tavrel.state() == QProcess::NotRunning || tavrel.waitForFinished(20000));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(root.filePath("report")), 20000);
        const QString log = QString::fromLocal8Bit(tavrel.readAllStandardError()); // none from gio
        QVERIFY2(tavrel.exitStatus() == QProcess::NormalExit && tavrel.exitCode() == 0, qPrintable(log));
        // The window held the message when it closed, or the test tested nothing.
        const QRegularExpression pending("closing with ([1-9]\\d*) bytes pending");
        QVERIFY2(!receiving || pending.match(log).hasMatch(), qPrintable(log));

        const QString folder = fromHome ? home + "/Tavrel" : work;
        const QStringList report = QString::fromUtf8(contents(root.filePath("report"))).split('\n');
        QCOMPARE(report.value(0), folder);
        QCOMPARE(report.mid(4).join('\n'),
                 start == "program folder"
                     ? QStringLiteral("程序从自己的文件夹启动，收到的文件改存到：") + folder
                 : receiving ? QStringLiteral("成功和服务器连接")
                             : QString());
        QCOMPARE(QFileInfo(home + "/Tavrel").isDir(), fromHome);
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
#endif
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
