#include "widget.h"
#include "widgetprobe.h"

#include <QGraphicsView>
#include <QLabel>
#include <QMetaMethod>
#include <QTabWidget>
#include <QTcpSocket>
#include <QTest>

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void resizingMovesNothing();
    void window();
    void focusChain();
    void initialState();
    void slotTable();
};

void TestForm::controls_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");

    struct Row
    {
        const char *name;
        const char *cls;
        int x, y, w, h;
        const char16_t *caption;
    };
    const Row rows[] = {
        {"label_3", "QLabel", 20, 100, 51, 16, u"接收窗口"},
        {"textEditWrite", "QTextEdit", 20, 330, 281, 101, nullptr},
        {"label_4", "QLabel", 20, 310, 51, 16, u"发送窗口"},
        {"btnConnect", "QPushButton", 320, 10, 71, 18, u"连接服务器"},
        {"btnSend", "QPushButton", 130, 440, 56, 18, u"发送"},
        {"label_5", "QLabel", 20, 40, 31, 20, u"网名："},
        {"lineEditName", "QLineEdit", 50, 40, 71, 20, nullptr},
        {"btnLog", "QPushButton", 330, 70, 56, 18, u"登录"},
        {"btnReg", "QPushButton", 330, 40, 56, 18, u"注册"},
        {"label_6", "QLabel", 20, 70, 31, 20, u"邮箱："},
        {"lineEditEmail", "QLineEdit", 50, 70, 71, 20, nullptr},
        {"label_7", "QLabel", 180, 10, 41, 20, u"密码:"},
        {"lineEditPasswd", "QLineEdit", 230, 10, 71, 20, nullptr},
        {"label_8", "QLabel", 150, 40, 81, 20, u"再次输入密码:"},
        {"lineEditPasswd2", "QLineEdit", 230, 40, 71, 20, nullptr},
        {"label_9", "QLabel", 160, 70, 71, 20, u"邮箱验证码："},
        {"lineEditCheckCode", "QLineEdit", 230, 70, 71, 20, nullptr},
        {"label_10", "QLabel", 20, 10, 121, 20, u"Tavrel"},
        {"label_11", "QLabel", 320, 310, 51, 16, u"在线用户"},
        {"textEditUsers", "QTextEdit", 320, 330, 91, 101, nullptr},
        {"btnSendFile", "QPushButton", 270, 470, 56, 18, u"发送文件"},
        {"label", "QLabel", 20, 470, 101, 16, u"要发送的文件名："},
        {"lineEditFile", "QLineEdit", 120, 470, 141, 20, nullptr},
        {"label_2", "QLabel", 20, 500, 101, 16, u"要接收的文件名："},
        {"lineEditFile2", "QLineEdit", 120, 500, 141, 20, nullptr},
        {"btnReceiveFile", "QPushButton", 270, 500, 56, 18, u"接收文件"},
        {"btnOpenFolder", "QPushButton", 340, 470, 71, 18, u"打开文件夹"},
        {"tabWidget", "QTabWidget", 10, 120, 401, 181, nullptr},
        {"textEditRead", "QTextEdit", 0, 0, 401, 161, nullptr},
        {"textEditFile", "QTextEdit", 0, 0, 401, 161, nullptr},
    };
    for (const Row &row : rows) {
        const QString name = QLatin1String(row.name);
        const QString parent = name == QLatin1String("textEditRead")   ? QStringLiteral("tabText")
                               : name == QLatin1String("textEditFile") ? QStringLiteral("tabFile")
                                                                       : QStringLiteral("Widget");
        QTest::newRow(row.name) << QString::fromLatin1(row.cls) << parent << QRect(row.x, row.y, row.w, row.h)
                                << (row.caption ? QString::fromUtf16(row.caption) : QString());
    }
}

void TestForm::controls()
{
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);

    Widget w;
    QWidget *control = WidgetProbe::control(w, QTest::currentDataTag());
    QVERIFY(control);
    QCOMPARE(QString::fromLatin1(control->metaObject()->className()), className);
    QCOMPARE(control->parentWidget()->objectName(), parentName);
    QCOMPARE(control->geometry(), geometry);
    if (auto *label = qobject_cast<QLabel *>(control))
        QCOMPARE(label->text(), caption);
    else if (auto *button = qobject_cast<QAbstractButton *>(control))
        QCOMPARE(button->text(), caption);
}

void TestForm::resizingMovesNothing()
{
    Widget w;
    const auto controls = w.findChildren<QWidget *>();
    QList<QRect> before;
    for (QWidget *c : controls)
        before.append(c->geometry());
    w.resize(800, 900);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(200, 200);
    QCoreApplication::processEvents();
    for (int i = 0; i < controls.size(); ++i) {
        if (controls[i]->parentWidget() == &w)
            QCOMPARE(controls[i]->geometry(), before[i]);
    }
}

void TestForm::window()
{
    Widget w;
    QCOMPARE(w.objectName(), QStringLiteral("Widget"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Widget"));
    QCOMPARE(w.size(), QSize(424, 538));

    auto *title = WidgetProbe::control<QLabel>(w, "label_10");
    QCOMPARE(title->font().pointSize(), 13);
    QCOMPARE(title->font().weight(), QFont::Bold);
    QCOMPARE(WidgetProbe::control<QLabel>(w, "label_3")->font().pointSize(),
             QApplication::font().pointSize());

    auto *tabs = WidgetProbe::control<QTabWidget>(w, "tabWidget");
    QCOMPARE(tabs->count(), 3);
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->widget(0)->objectName(), QStringLiteral("tabText"));
    QCOMPARE(tabs->tabText(0), QStringLiteral("信息"));
    QCOMPARE(tabs->widget(1)->objectName(), QStringLiteral("tabFile"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("文本文件"));
    QCOMPARE(tabs->widget(2)->objectName(), QStringLiteral("tabImage"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("图片"));
    auto *view = WidgetProbe::control<QGraphicsView>(w, "graphicsViewImage");
    QVERIFY(view);
    QCOMPARE(view->parentWidget(), tabs->widget(2));
    QCOMPARE(view->geometry(), QRect(0, 0, 401, 161));
    QCOMPARE(view->scene(), WidgetProbe::scene(w));
}

void TestForm::focusChain()
{
    Widget w;
    const char *chain[] = {"btnConnect",     "lineEditName",    "lineEditPasswd", "btnLog",
                           "lineEditEmail",  "lineEditPasswd2", "btnReg",         "lineEditCheckCode",
                           "btnSend",        "lineEditFile",    "btnSendFile",    "lineEditFile2",
                           "btnReceiveFile", "textEditWrite",   "textEditRead",   "textEditUsers"};
    for (size_t i = 0; i + 1 < std::size(chain); ++i) {
        QWidget *from = WidgetProbe::control(w, chain[i]);
        QWidget *next = from->nextInFocusChain();
        // Skip a text edit's own viewport and scroll bars, and widgets Tab never stops at.
        while (from->isAncestorOf(next) || !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QCOMPARE(next->objectName(), QLatin1String(chain[i + 1]));
    }
}

void TestForm::initialState()
{
    Widget w;
    for (const char *name : {"btnSend", "btnSendFile", "btnReceiveFile"})
        QVERIFY2(!WidgetProbe::button(w, name)->isEnabled(), name);
    for (const char *name : {"btnConnect", "btnLog", "btnReg", "btnOpenFolder"})
        QVERIFY2(WidgetProbe::button(w, name)->isEnabled(), name);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditPasswd")->echoMode(), QLineEdit::Password);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditPasswd2")->echoMode(), QLineEdit::Password);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditName")->echoMode(), QLineEdit::Normal);
    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(WidgetProbe::canSend(w));
    QVERIFY(WidgetProbe::userName(w).isEmpty());
    QCOMPARE(WidgetProbe::separator(w), QByteArray("\x7e\x2b\x5e\x60\x26"));
    QCOMPARE(WidgetProbe::passwdSalt(w), QStringLiteral("qzrt#="));
    QCOMPARE(WidgetProbe::fileOut(w)->fileName(), QStringLiteral("test.txt"));
    QCOMPARE(WidgetProbe::fileIn(w)->fileName(), QStringLiteral("testa.txt"));
    QVERIFY(!WidgetProbe::fileOut(w)->isOpen());
    QVERIFY(WidgetProbe::scene(w)->items().isEmpty());
    QCOMPARE(WidgetProbe::scene(w)->parent(), &w);
    QCOMPARE(WidgetProbe::socket(w)->parent(), &w);
}

void TestForm::slotTable()
{
    const QMetaObject &mo = Widget::staticMetaObject;
    QCOMPARE(QByteArray(mo.className()), QByteArray("Widget"));
    const char *expected[] = {
        "connectToServer()",        "ReadInformation()",           "on_btnSend_clicked()",
        "on_btnConnect_clicked()",  "on_btnReg_clicked()",         "on_btnLog_clicked()",
        "on_btnSendFile_clicked()", "on_btnReceiveFile_clicked()", "on_btnOpenFolder_clicked()"};
    QCOMPARE(mo.methodCount() - mo.methodOffset(), int(std::size(expected)));
    for (int i = 0; i < int(std::size(expected)); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.methodSignature(), QByteArray(expected[i]));
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), i < 2 ? QMetaMethod::Public : QMetaMethod::Private);
    }
    QCOMPARE(mo.indexOfSlot("ReadInformation()") - mo.methodOffset(), 1);
    QCOMPARE(QByteArray(mo.method(mo.methodOffset() + 1).typeName()), QByteArray("bool"));

    Widget w;
    QCOMPARE(w.qt_metacast("Widget"), static_cast<void *>(&w));
    QCOMPARE(w.qt_metacast(nullptr), nullptr);
    bool result = false;
    QVERIFY(QMetaObject::invokeMethod(&w, "ReadInformation", Q_RETURN_ARG(bool, result)));
    QVERIFY(result);
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
