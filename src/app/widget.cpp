#include "widget.h"
#include "ui_widget.h"

#include "assembler.h"
#include "digest.h"
#include "net/plaintext.h"
#include "protocol.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QSslSocket>
#include <QTextDocument>
#include <QThreadPool>

Widget::Widget(QWidget *parent)
    : QWidget(parent)
    , ui(new Ui::Widget)
    , passwdSalt(QLatin1String(tavrel::kPasswordSalt))
    , separator(tavrel::separator())
{
    ui->setupUi(this);
    setSendButtonsEnabled(false);
    canSend = true;
    ui->lineEditPasswd->setEchoMode(QLineEdit::Password);
    ui->lineEditPasswd2->setEchoMode(QLineEdit::Password);

    // With TLS the window announces the connection once the handshake has finished and the
    // server's certificate has passed (connectEncrypted), not when TCP is up.
    socket = tls.enabled ? new QSslSocket(this) : new QTcpSocket(this);
    socket->abort();
    if (!tls.enabled)
        connect(socket, &QTcpSocket::connected, this, &Widget::connectToServer);
    connect(socket, &QTcpSocket::readyRead, this, &Widget::ReadInformation);

    fileOut = new QFile(QStringLiteral("test.txt"));
    fileIn = new QFile(QStringLiteral("testa.txt"));
    storePool = new QThreadPool(this);
    storePool->setMaxThreadCount(1);
    scene = new QGraphicsScene(this);
    ui->graphicsViewImage->setScene(scene);

    boundBoxes();
    leaveProgramFolder();

    assembler = new tavrel::MessageAssembler(this);
    assembler->setLimits(tavrel::kMaxGatheredMessage, tavrel::kMaxGatheredTextMessage);
    connect(assembler, &tavrel::MessageAssembler::messageReady, this, &Widget::handleMessage);
    connect(assembler, &tavrel::MessageAssembler::overflowed, this, &Widget::dropOversizedMessage);
    connect(assembler, &tavrel::MessageAssembler::cutOff, this, &Widget::dropCutMessage);
    // A closed connection ends the message in progress; a new one must not continue it.
    connect(socket, &QTcpSocket::disconnected, assembler, &tavrel::MessageAssembler::endOfStream);
}

Widget::~Widget()
{
    // The socket and the assembler outlive ui and fileIn: the socket closes as it goes and
    // ends the message in progress, and the quiet gap can end it too, each time running
    // handleMessage on what is already gone.
    socket->blockSignals(true);
    assembler->blockSignals(true);
    assembler->clear();
    socket->abort();
    // A large received file may still be being written through fileIn.
    storePool->waitForDone();
    delete ui;
    delete fileOut;
    delete fileIn;
}

namespace {

// The message box keeps the last 100,000 paragraphs, and the online-user box as many: a short
// chat line took about 0.6 KB in the window (bench-flood: a peak of 175 MiB for 200,000 lines
// unbounded, 109 MiB bounded), so a box holds some 60 MB at most, and a day of busy chat
// still scrolls back whole.
constexpr int kMaxBoxParagraphs = 100000;

} // namespace

void Widget::boundBoxes()
{
    for (QTextEdit *box : {ui->textEditRead, ui->textEditUsers}) {
        // An undo history would keep everything the bound removes, and the boxes show what came.
        box->document()->setUndoRedoEnabled(false);
        box->document()->setMaximumBlockCount(kMaxBoxParagraphs);
    }
    // The document removes the oldest paragraph whenever a new one passes the bound, before it
    // reports the count: so the notice goes out once the box is full, and its own paragraph
    // is the first to push one out.
    connect(ui->textEditRead->document(), &QTextDocument::blockCountChanged, this, [this](int count) {
        if (count < kMaxBoxParagraphs || std::exchange(boxTrimmed, true))
            return;
        // Not within the edit that is under way.
        QMetaObject::invokeMethod(
            this,
            [this] {
                appendPlainText(
                    ui->textEditRead,
                    QStringLiteral("信息框只保留最近的 %1 段，更早的已移除").arg(kMaxBoxParagraphs));
            },
            Qt::QueuedConnection);
    });
}

void Widget::setSendButtonsEnabled(bool enabled)
{
    ui->btnSend->setEnabled(enabled);
    ui->btnSendFile->setEnabled(enabled);
    ui->btnReceiveFile->setEnabled(enabled);
}
