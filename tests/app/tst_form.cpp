#include "widget.h"
#include "widgetprobe.h"

#include <QGraphicsView>
#include <QLabel>
#include <QMetaMethod>
#include <QTabWidget>
#include <QTcpSocket>

class TestForm : public QObject
{
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void initialState();
    void focusChain();
    void slotTable();
};

void TestForm::controls_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");

    struct Row
    {
        const char *name, *cls;
        int x, y, w, h;
        const char *caption;
    };
    const Row rows[] = {
        {"label_3", "QLabel", 20, 100, 51, 16, "接收窗口"},
        {"textEditWrite", "QTextEdit", 20, 330, 281, 101, ""},
        {"label_4", "QLabel", 20, 310, 51, 16, "发送窗口"},
        {"btnConnect", "QPushButton", 320, 10, 71, 18, "连接服务器"},
        {"btnSend", "QPushButton", 130, 440, 56, 18, "发送"},
        {"label_5", "QLabel", 20, 40, 31, 20, "网名："},
        {"lineEditName", "QLineEdit", 50, 40, 71, 20, ""},
        {"btnLog", "QPushButton", 330, 70, 56, 18, "登录"},
        {"btnReg", "QPushButton", 330, 40, 56, 18, "注册"},
        {"label_6", "QLabel", 20, 70, 31, 20, "邮箱："},
        {"lineEditEmail", "QLineEdit", 50, 70, 71, 20, ""},
        {"label_7", "QLabel", 180, 10, 41, 20, "密码:"},
        {"lineEditPasswd", "QLineEdit", 230, 10, 71, 20, ""},
        {"label_8", "QLabel", 150, 40, 81, 20, "再次输入密码:"},
        {"lineEditPasswd2", "QLineEdit", 230, 40, 71, 20, ""},
        {"label_9", "QLabel", 160, 70, 71, 20, "邮箱验证码："},
        {"lineEditCheckCode", "QLineEdit", 230, 70, 71, 20, ""},
        {"label_10", "QLabel", 20, 10, 121, 20, "Tavrel"},
        {"label_11", "QLabel", 320, 310, 51, 16, "在线用户"},
        {"textEditUsers", "QTextEdit", 320, 330, 91, 101, ""},
        {"btnSendFile", "QPushButton", 270, 470, 56, 18, "发送文件"},
        {"label", "QLabel", 20, 470, 101, 16, "要发送的文件名："},
        {"lineEditFile", "QLineEdit", 120, 470, 141, 20, ""},
        {"label_2", "QLabel", 20, 500, 101, 16, "要接收的文件名："},
        {"lineEditFile2", "QLineEdit", 120, 500, 141, 20, ""},
        {"btnReceiveFile", "QPushButton", 270, 500, 56, 18, "接收文件"},
        {"btnOpenFolder", "QPushButton", 340, 470, 71, 18, "打开文件夹"},
        {"tabWidget", "QTabWidget", 10, 120, 401, 181, ""},
        {"textEditRead", "QTextEdit", 0, 0, 401, 161, ""},
        {"textEditFile", "QTextEdit", 0, 0, 401, 161, ""},
        {"graphicsViewImage", "QGraphicsView", 0, 0, 401, 161, ""},
    };
    for (const Row &row : rows)
        QTest::newRow(row.name) << row.cls << QRect(row.x, row.y, row.w, row.h)
                                << QString::fromUtf8(row.caption);
}

void TestForm::controls()
{
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);

    Widget w;
    QWidget *control = WidgetProbe::control(w, QTest::currentDataTag());
    QVERIFY(control);
    QCOMPARE(control->metaObject()->className(), className);
    QCOMPARE(control->geometry(), geometry);
    if (auto *label = qobject_cast<QLabel *>(control))
        QCOMPARE(label->text(), caption);
    else if (auto *button = qobject_cast<QAbstractButton *>(control))
        QCOMPARE(button->text(), caption);
}

void TestForm::focusChain()
{
    Widget w;
    const QStringList chain =
        QStringLiteral("btnConnect lineEditName lineEditPasswd btnLog lineEditEmail "
                       "lineEditPasswd2 btnReg lineEditCheckCode btnSend lineEditFile "
                       "btnSendFile lineEditFile2 btnReceiveFile textEditWrite textEditRead "
                       "textEditUsers")
            .split(QLatin1Char(' '));
    for (int i = 0; i + 1 < chain.size(); ++i) {
        QWidget *from = w.findChild<QWidget *>(chain[i]);
        QWidget *next = from->nextInFocusChain();
        // Skip a text edit's own viewport and scroll bars, and widgets Tab never stops at.
        while (from->isAncestorOf(next) || !(next->focusPolicy() & Qt::TabFocus))
            next = next->nextInFocusChain();
        QCOMPARE(next->objectName(), chain[i + 1]);
    }
}

void TestForm::initialState()
{
    Widget w;
    QCOMPARE(w.objectName(), QStringLiteral("Widget"));
    QCOMPARE(w.windowTitle(), QStringLiteral("Widget"));
    QCOMPARE(w.size(), QSize(424, 538));
    const QFont title = WidgetProbe::control(w, "label_10")->font();
    QVERIFY(title.pointSize() == 13 && title.weight() == QFont::Bold);

    // The two pages of the form keep their places; the picture page comes after them.
    auto *tabs = WidgetProbe::control<QTabWidget>(w, "tabWidget");
    QCOMPARE(tabs->currentIndex(), 0);
    const char *pages[][3] = {{"tabText", "信息", "textEditRead"},
                              {"tabFile", "文本文件", "textEditFile"},
                              {"tabImage", "图片", "graphicsViewImage"}};
    QCOMPARE(tabs->count(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(tabs->widget(i)->objectName(), pages[i][0]);
        QCOMPARE(tabs->tabText(i), QString::fromUtf8(pages[i][1]));
        QCOMPARE(WidgetProbe::control(w, pages[i][2])->parentWidget(), tabs->widget(i));
    }
    QCOMPARE(WidgetProbe::control<QGraphicsView>(w, "graphicsViewImage")->scene(), WidgetProbe::scene(w));
    QCOMPARE(sendButtonsEnabled(w), 0);
    for (const char *name : {"btnConnect", "btnLog", "btnReg", "btnOpenFolder"})
        QVERIFY2(WidgetProbe::button(w, name)->isEnabled(), name);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditPasswd")->echoMode(), QLineEdit::Password);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditPasswd2")->echoMode(), QLineEdit::Password);
    QCOMPARE(WidgetProbe::lineEdit(w, "lineEditName")->echoMode(), QLineEdit::Normal);
    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(WidgetProbe::canSend(w));
    QVERIFY(WidgetProbe::userName(w).isEmpty());
    QVERIFY(WidgetProbe::scene(w)->items().isEmpty());
}

void TestForm::slotTable()
{
    const QMetaObject &mo = Widget::staticMetaObject;
    const char *expected[] = {
        "connectToServer()",        "ReadInformation()",           "on_btnSend_clicked()",
        "on_btnConnect_clicked()",  "on_btnReg_clicked()",         "on_btnLog_clicked()",
        "on_btnSendFile_clicked()", "on_btnReceiveFile_clicked()", "on_btnOpenFolder_clicked()"};
    QCOMPARE(mo.methodCount() - mo.methodOffset(), int(std::size(expected)));
    for (int i = 0; i < int(std::size(expected)); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.methodSignature(), expected[i]);
        QCOMPARE(m.methodType(), QMetaMethod::Slot);
        QCOMPARE(m.access(), i < 2 ? QMetaMethod::Public : QMetaMethod::Private);
        QCOMPARE(m.typeName(), i == 1 ? "bool" : "void");
    }
}

QTEST_MAIN(TestForm)
#include "tst_form.moc"
