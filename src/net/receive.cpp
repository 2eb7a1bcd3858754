#include "ui_widget.h"
#include "widget.h"

#include "assembler.h"
#include "filenames.h"
#include "net/plaintext.h"
#include "pathgaps.h"
#include "protocol.h"
#include "textpreview.h"

#include <QDebug>
#include <QPointer>
#include <QTcpSocket>

namespace {

const QString kOwnLinePrefix = QStringLiteral("我: ");
// Follows the line about a received text file when the tab shows only its start.
const QString kStartShown = QStringLiteral("文本文件标签页里只显示了文件的开头");

void appendReceivedLine(QTextEdit *box, const QString &receivedName, const QString &storedName,
                        const QString &senderText)
{
    if (storedName == receivedName)
        appendPlainText(box, QStringLiteral("收到") + senderText + QStringLiteral("文件：") + storedName);
    else
        appendPlainText(box, QStringLiteral("收到") + senderText + QStringLiteral("文件：") + receivedName +
                                 QStringLiteral(", 并改名为：") + storedName);
}

// How long after a file or image message bytes of no known kind count as its rest. The rest
// of a message comes once the stall that cut it is over, which outlasted the file gap; the
// longest stalls of a working connection are a few seconds.
constexpr int kRestOfFileWindowMs = 5000;

// Messages that wait behind a file being written or an image being decoded stay in memory
// until their turn. The quiet gaps let a message end at most every 30 ms, a file or image
// every second, so the queue grows only while decoding outlasts them: a 64 Mpx PNG of
// 0.9 MB took 0.6 to 0.7 s to decode on the 2-core test machine (load 4). Past either
// bound the images in the queue are stored but not decoded, which takes no longer than the
// store, so the queue drains with nothing lost or reordered. 1000 messages are half a
// minute of the quickest chat; 256 MiB are four of the largest images.
constexpr int kMaxWaitingMessages = 1000;
constexpr qint64 kMaxWaitingBytes = 256LL * 1024 * 1024;

} // namespace

bool Widget::ReadInformation()
{
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return true;
    // A read is not a message: the network splits large messages and joins small ones, so
    // the assembler decides where a message ends and hands it to handleMessage, by a gap
    // sized to the path as the server's pause is.
    if (assembler->pendingSize() == 0)
        tavrel::followPacedPath(*assembler, socket->socketDescriptor());
    assembler->append(bytes);
    return true;
}

bool Widget::handleMessage(const QByteArray &message)
{
    if (messageInProgress || !heldMessages.isEmpty()) {
        heldMessages.append(message);
        heldBytes += message.size();
        return true;
    }
    return dispatchMessage(message);
}

void Widget::releaseHeldMessages()
{
    // A message released here that ends at once (a small file) calls this again: the next
    // one waits for the turn below all the same.
    if (messageInProgress || heldMessages.isEmpty() || releasingHeldMessage)
        return;
    const QPointer<Widget> alive(this);
    releasingHeldMessage = true;
    const QByteArray message = heldMessages.takeFirst();
    heldBytes -= message.size();
    dispatchMessage(message);
    if (!alive)
        return;
    releasingHeldMessage = false;
    // One message a turn of the event loop, so that the chat lines that gathered during a
    // long store or decoding are not shown in one long stall.
    if (!heldMessages.isEmpty())
        QMetaObject::invokeMethod(this, &Widget::releaseHeldMessages, Qt::QueuedConnection);
}

bool Widget::dispatchMessage(const QByteArray &message)
{
    using tavrel::Kind;
    const Kind kind = tavrel::incomingKind(message);
    if (kind != Kind::Unknown && kind != Kind::Empty)
        lastStoredFile.clear();
    switch (kind) {
    case Kind::Empty:
        return true;
    case Kind::Chat:
    case Kind::Registration:
        appendPlainText(ui->textEditRead, tavrel::textField(message));
        break;
    case Kind::Login: {
        const QByteArray answer = message.mid(2);
        if (answer == tavrel::loginSuccessAnswer() || answer == tavrel::loginSuccessAnswerEnglish()) {
            setSendButtonsEnabled(true);
            setPlainTextContent(ui->textEditUsers, kOwnLinePrefix + userName);
        }
        appendPlainText(ui->textEditRead, tavrel::textField(message));
        break;
    }
    case Kind::UserList:
        setPlainTextContent(ui->textEditUsers, kOwnLinePrefix + userName);
        appendPlainText(ui->textEditUsers, tavrel::textField(message));
        break;
    case Kind::File:
    case Kind::Image:
    case Kind::OtherFile: {
        qDebug() << "开始接收文件";
        const tavrel::FileParts parts = tavrel::splitFileMessage(message, kind == Kind::Image);
        if (parts.status == tavrel::FileParts::NameTooLong) {
            qDebug() << "文件名太长";
            appendPlainText(ui->textEditRead, QStringLiteral("文件名太长"));
            return false;
        }
        // Without its first separator a message has no name field, and the bytes that would
        // stand for one may run to megabytes: they are not worth a log line.
        const QString receivedName = tavrel::decodeReceivedName(parts.name);
        if (parts.status != tavrel::FileParts::NoSeparator)
            qDebug() << "文件名: " << receivedName;
        if (parts.status != tavrel::FileParts::Ok) {
            // Where a field ends is unknown, so any name or contents would be a guess.
            qDebug() << "缺少分隔符的文件消息已丢弃，字节数:" << message.size();
            break;
        }
        if (kind == Kind::OtherFile)
            break;

        // A large file is written off the GUI thread, and an image is decoded there. The
        // lines about the file, and every message after it, wait for both, so that the
        // message box keeps their order.
        const bool image = kind == Kind::Image;
        const QString senderText =
            image ? QString::fromUtf8(parts.sender + QStringLiteral(" 发来的").toUtf8()) : QString();
        messageInProgress = true;
        // The callback holds message, which keeps the bytes that data views.
        storeFile(receivedName, message, parts.data,
                  [this, image, receivedName, senderText, message,
                   data = parts.data](bool stored, const QString &storedName) {
                      showReceivedFile(image, receivedName, stored ? storedName : QString(), senderText,
                                       data);
                  });
        return true;
    }
    case Kind::Unknown:
        handleStrayBytes(message);
        break;
    }
    showEnd(ui->textEditRead);
    return true;
}

void Widget::showReceivedFile(bool image, const QString &receivedName, const QString &storedName,
                              const QString &senderText, QByteArrayView data)
{
    const bool stored = !storedName.isEmpty();
    if (image && stored && (heldMessages.size() > kMaxWaitingMessages || heldBytes > kMaxWaitingBytes)) {
        noteStoredFile(storedName);
        appendPlainText(ui->textEditRead,
                        QStringLiteral("等待显示的消息太多，图片已保存，未显示：") + storedName);
        appendReceivedLine(ui->textEditRead, receivedName, storedName, senderText);
        finishMessage();
        return;
    }
    if (image && stored) {
        noteStoredFile(storedName);
        // A name that could not be stored may still name something: a device such as COM1
        // that blocks a read, or a file that was there before. Only what was just written is
        // read back.
        showImage(storedName, [this, receivedName, storedName, senderText](bool shown) {
            appendPlainText(ui->textEditRead, shown ? QStringLiteral("收到的图片：") + storedName +
                                                          QStringLiteral(" 在图片标签页里显示")
                                                    : QStringLiteral("图片无法显示：") + storedName);
            appendReceivedLine(ui->textEditRead, receivedName, storedName, senderText);
            finishMessage();
        });
        return;
    }
    if (!image) {
        const tavrel::TextPreview preview = tavrel::textPreview(data);
        setPlainTextContent(ui->textEditFile, preview.text);
        if (stored)
            appendPlainText(ui->textEditRead, QStringLiteral("收到的文件：") + storedName +
                                                  QStringLiteral(" 在文本文件标签页里显示"));
        if (!preview.whole)
            appendPlainText(ui->textEditRead,
                            stored ? kStartShown + QStringLiteral("，整个文件已保存为：") + storedName
                                   : kStartShown);
    }
    // saveFile has shown why the file is not there; a line saying it was received would
    // contradict it.
    if (stored) {
        appendReceivedLine(ui->textEditRead, receivedName, storedName, senderText);
        noteStoredFile(storedName);
    }
    finishMessage();
}

void Widget::finishMessage()
{
    messageInProgress = false;
    showEnd(ui->textEditRead);
    releaseHeldMessages();
}

void Widget::noteStoredFile(const QString &storedName)
{
    lastStoredFile = storedName;
    lastStoredFileRestDeadline.setRemainingTime(kRestOfFileWindowMs);
    lastStoredFileReportedCut = false;
}

void Widget::handleStrayBytes(const QByteArray &message)
{
    if (lastStoredFile.isEmpty() || lastStoredFileRestDeadline.hasExpired())
        return;
    // The stored file ends where the stall cut it. The rest is not added to it: the file on
    // disk is only ever written by the store that created it, so nothing that arrives can
    // change a file it did not make. The user is told, once, and can ask for the file again.
    qWarning() << "文件被截断，其后的字节已丢弃:" << lastStoredFile << message.size();
    if (!std::exchange(lastStoredFileReportedCut, true))
        appendPlainText(ui->textEditRead, QStringLiteral("收到的文件不完整：") + lastStoredFile);
}

void Widget::dropCutMessage(const QByteArray &partial)
{
    using tavrel::Kind;
    const Kind kind = tavrel::incomingKind(partial);
    qDebug() << "连接已断开，未收完的消息已丢弃，字节数:" << partial.size();
    if (kind != Kind::File && kind != Kind::Image)
        return;
    const tavrel::FileParts parts = tavrel::splitFileMessage(partial, kind == Kind::Image);
    // The name is known once its separator has arrived, and only when it is not too long.
    const bool named = parts.status == tavrel::FileParts::Ok || parts.status == tavrel::FileParts::Malformed;
    const QString what =
        named ? tavrel::decodeReceivedName(parts.name) : QStringLiteral("%1 字节").arg(partial.size());
    appendPlainText(ui->textEditRead, QStringLiteral("连接已断开，未收完的文件已丢弃：") + what);
    showEnd(ui->textEditRead);
}

void Widget::dropOversizedMessage(qint64 bytes)
{
    qDebug() << "消息过大，已丢弃，字节数:" << bytes;
    appendPlainText(ui->textEditRead, QStringLiteral("消息过大，已丢弃：%1 字节").arg(bytes));
    showEnd(ui->textEditRead);
}
