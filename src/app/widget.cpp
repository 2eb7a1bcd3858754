#include "widget.h"
#include "ui_widget.h"

#include "assembler.h"
#include "digest.h"
#include "protocol.h"

#include <QFile>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QSslSocket>
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

void Widget::setSendButtonsEnabled(bool enabled)
{
    ui->btnSend->setEnabled(enabled);
    ui->btnSendFile->setEnabled(enabled);
    ui->btnReceiveFile->setEnabled(enabled);
}
