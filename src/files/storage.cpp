#include "ui_widget.h"
#include "widget.h"

#include "filenames.h"
#include "net/plaintext.h"
#include "protocol.h"

#include <QDebug>
#include <QFile>
#include <QTcpSocket>

void Widget::on_btnReceiveFile_clicked()
{
    tavrel::writeWhole(socket, tavrel::fileRequest(ui->lineEditFile2->text()));
}

bool Widget::saveFile(QString &name, const QByteArray &data)
{
    qDebug() << "saveFile start";
    // The peer picks the name. Only its last component is kept, so that nothing is written
    // outside the working directory, and names that some file system would read as a
    // device, a stream or a path are refused on every platform alike.
    name = tavrel::lastPathComponent(name);
    if (!tavrel::isAcceptableFileName(name) || !tavrel::createFreshFile(*fileIn, name)) {
        appendPlainText(ui->textEditRead, QStringLiteral("不能以只写方式文件：") + name);
        qDebug() << "Cannot open file for writing";
        return false;
    }
    // A full disk shows as a short write, or, for what sat in the write buffer, only when
    // close() flushes it.
    const qint64 written = fileIn->write(data);
    QString failure = written == data.size() ? QString() : fileIn->errorString();
    fileIn->close();
    if (failure.isEmpty() && fileIn->error() != QFileDevice::NoError)
        failure = fileIn->errorString();
    if (!failure.isEmpty()) {
        // Only the file created above goes; name is its path, relative to the working folder.
        QFile::remove(name);
        appendPlainText(ui->textEditRead, QStringLiteral("不能以只写方式文件：") + name);
        qWarning().noquote() << QStringLiteral("Cannot write file %1 (%2 of %3 bytes written): %4")
                                    .arg(name)
                                    .arg(qMax<qint64>(written, 0))
                                    .arg(data.size())
                                    .arg(failure);
        return false;
    }
    qDebug() << QStringLiteral("文件: ") + name + QStringLiteral("已保存");
    return true;
}
