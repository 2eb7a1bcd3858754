#include "ui_widget.h"
#include "widget.h"

#include "net/plaintext.h"
#include "protocol.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QTcpSocket>

namespace {

constexpr char kTextPlain[] = "text/plain";
constexpr char16_t kTooLargeNotice[] = u"文件大小超过63K限制，不能发送：";

} // namespace

void Widget::on_btnSendFile_clicked()
{
    // The path is sent as typed, blanks and relative parts included.
    const QString path = ui->lineEditFile->text();
    if (!QFileInfo::exists(path)) {
        // The path is the user's own text; it must show as typed, never as markup.
        appendPlainText(ui->textEditRead, QStringLiteral("该文件不存在：") + path);
        return;
    }
    const QString type = fileMimeType(path);
    qDebug().noquote() << QStringLiteral("mimeType：") + type;
    // Only plain text: the server shows the file as it is, and other text types (CSV,
    // HTML) would be taken for something they are not.
    if (type != QLatin1String(kTextPlain)) {
        ui->textEditRead->append(QStringLiteral("不支持该文件类型"));
        return;
    }
    sendTextFile(path);
}

QString Widget::fileMimeType(const QString &path)
{
    const QString absolutePath = QFileInfo(path).absoluteFilePath();
    const QString type = QMimeDatabase().mimeTypeForFile(absolutePath, QMimeDatabase::MatchDefault).name();
    qDebug().noquote() << QStringLiteral("File MIME type:") + type;
    return type;
}

bool Widget::openFileForRead()
{
    const QString name = fileOut->fileName();
    qDebug().noquote() << QStringLiteral("filePath: ") + name;
    const QFileInfo info(name);
    if (!info.exists()) {
        qCritical().noquote() << QStringLiteral("文件不存在:") + name;
        return false;
    }
    if (!info.isReadable()) {
        qCritical().noquote() << QStringLiteral("文件不可读:") + name;
        return false;
    }
    if (info.size() > tavrel::kMaxOutgoingFileSize) {
        appendPlainText(ui->textEditRead, QString::fromUtf16(kTooLargeNotice) + name);
        return false;
    }
    if (!fileOut->open(QIODevice::ReadOnly)) {
        qCritical().noquote() << QStringLiteral("无法以只读方式打开文件:") + fileOut->errorString();
        return false;
    }
    return true;
}

bool Widget::sendTextFile(const QString &path)
{
    qDebug().noquote() << QStringLiteral("filePath: ") + path;
    if (fileOut->isOpen())
        fileOut->close();
    fileOut->setFileName(path);
    if (!openFileForRead()) {
        qDebug() << "fail to open file";
        return false;
    }
    // The size checked above is what the file system reports; a file that grew since, or a
    // special file that reports no size, must not slip past the limit.
    const QByteArray contents = fileOut->read(tavrel::kMaxOutgoingFileSize + 1);
    if (contents.size() > tavrel::kMaxOutgoingFileSize) {
        fileOut->close();
        appendPlainText(ui->textEditRead, QString::fromUtf16(kTooLargeNotice) + path);
        qDebug() << "fail to open file";
        return false;
    }
    tavrel::writeWhole(socket, tavrel::fileMessage(path, contents));
    fileOut->close();
    qDebug() << "file is sent";
    return true;
}
