#include "ui_widget.h"
#include "widget.h"

#include "filenames.h"
#include "files/offthread.h"
#include "net/plaintext.h"
#include "protocol.h"

#include <QDebug>
#include <QFile>
#include <QTcpSocket>
#include <QThreadPool>

namespace {

// Files up to this size are written on the GUI thread, larger ones on a pool thread. Writing
// into the page cache took about 4 ms per MiB on the 2-core test machine (a 16 MiB file held
// the event loop for 60 to 85 ms, bench-display), so 1 MiB stays well within the 20 ms the
// event loop may be held, while the chat-sized files that most messages carry are stored and
// reported without a round through the pool.
constexpr qint64 kInlineStoreBytes = 1024 * 1024;

// Writes size bytes to the open file and closes it. Touches nothing but file, so it may run
// on a pool thread while the GUI thread leaves file alone.
Widget::StoreResult writeAndClose(QFile &file, const char *data, qint64 size)
{
    // A full disk shows as a short write, or, for what sat in the write buffer, only when
    // close() flushes it.
    Widget::StoreResult result;
    result.written = file.write(data, size);
    if (result.written != size)
        result.failure = file.errorString();
    file.close();
    if (result.failure.isEmpty() && file.error() != QFileDevice::NoError)
        result.failure = file.errorString();
    return result;
}

} // namespace

void Widget::on_btnReceiveFile_clicked()
{
    tavrel::writeWhole(socket, tavrel::fileRequest(ui->lineEditFile2->text()));
}

bool Widget::saveFile(QString &name, const QByteArray &data)
{
    if (!createStoredFile(name))
        return false;
    return finishStoredFile(name, data.size(), writeAndClose(*fileIn, data.constData(), data.size()));
}

void Widget::storeFile(const QString &name, const QByteArray &message, QByteArrayView data,
                       std::function<void(bool, const QString &)> stored)
{
    QString storedName = name;
    if (!createStoredFile(storedName)) {
        stored(false, storedName);
        return;
    }
    if (data.size() <= kInlineStoreBytes) {
        const StoreResult result = writeAndClose(*fileIn, data.data(), data.size());
        stored(finishStoredFile(storedName, data.size(), result), storedName);
        return;
    }
    // The job holds the message, so its bytes stay, and fileIn, which ~Widget does not delete
    // before the job has finished.
    const qsizetype offset = data.data() - message.constData();
    runOffThread<StoreResult>(
        this, storePool,
        [file = fileIn, message, offset, size = data.size()] {
            return writeAndClose(*file, message.constData() + offset, size);
        },
        [this, storedName, size = data.size(),
         stored = std::move(stored)](std::optional<StoreResult> result) {
            if (!result)
                result = StoreResult{0, QStringLiteral("not written")};
            stored(finishStoredFile(storedName, size, *result), storedName);
        });
}

bool Widget::createStoredFile(QString &name)
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
    return true;
}

bool Widget::finishStoredFile(const QString &name, qint64 size, const StoreResult &result)
{
    if (!result.failure.isEmpty()) {
        // Only the file created for it goes; name is its path, relative to the working folder.
        QFile::remove(name);
        appendPlainText(ui->textEditRead, QStringLiteral("不能以只写方式文件：") + name);
        qWarning().noquote() << QStringLiteral("Cannot write file %1 (%2 of %3 bytes written): %4")
                                    .arg(name)
                                    .arg(qMax<qint64>(result.written, 0))
                                    .arg(size)
                                    .arg(result.failure);
        return false;
    }
    qDebug() << QStringLiteral("文件: ") + name + QStringLiteral("已保存");
    return true;
}
