#include "ui_widget.h"
#include "widget.h"

#include "filenames.h"
#include "files/offthread.h"
#include "net/plaintext.h"
#include "protocol.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <QTcpSocket>
#include <QThreadPool>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#endif

namespace {

// Files up to this size are written on the GUI thread, larger ones on a pool thread. Writing
// into the page cache took about 4 ms per MiB on the 2-core test machine (a 16 MiB file held
// the event loop for 60 to 85 ms, bench-display), so 1 MiB stays well within the 20 ms the
// event loop may be held, while the chat-sized files that most messages carry are stored and
// reported without a round through the pool.
constexpr qint64 kInlineStoreBytes = 1024 * 1024;

// The notice for a received file that is not stored.
const QString kCannotWrite = QStringLiteral("不能以只写方式文件：");

// Storing leaves at least the smaller of 1 GiB and 5% of the disk free. A full disk breaks
// more than the chat (the desktop session, the system's logs and updates), and a peer can send
// a 64 MiB file every second or two: 1 GiB is 16 of them, time enough to see the notices, and
// 5% keeps a small disk (a 16 GB stick, a tmpfs) within the same reach.
constexpr qint64 kFreeDiskFloorBytes = 1024LL * 1024 * 1024;
constexpr int kFreeDiskFloorPercent = 5;

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

#ifdef Q_OS_WIN
// Marks a received file as come from the Internet (zone 3), as browsers mark what they
// download, so that Windows warns before it runs or opens it. Only where the volume keeps
// named streams: elsewhere (FAT, some Wine set-ups) the name with its colon could become a
// file of its own, and the file is stored unmarked.
void markFromInternet(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()).toStdWString();
    const HANDLE file = CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    DWORD flags = 0;
    const bool streams =
        file != INVALID_HANDLE_VALUE &&
        GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
        (flags & FILE_NAMED_STREAMS);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!streams) {
        qDebug() << "No Zone.Identifier stream on this volume:" << path;
        return;
    }
    const std::wstring streamName = native + L":Zone.Identifier";
    const HANDLE stream = CreateFileW(streamName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    static const char zone[] = "[ZoneTransfer]\r\nZoneId=3\r\n";
    DWORD written = 0;
    const bool marked = stream != INVALID_HANDLE_VALUE &&
                        WriteFile(stream, zone, DWORD(sizeof zone - 1), &written, nullptr) &&
                        written == sizeof zone - 1;
    if (stream != INVALID_HANDLE_VALUE)
        CloseHandle(stream);
    if (!marked)
        qWarning() << "Cannot mark as downloaded:" << path << GetLastError();
}
#endif

} // namespace

void Widget::on_btnReceiveFile_clicked()
{
    tavrel::writeWhole(socket, tavrel::fileRequest(ui->lineEditFile2->text()));
}

bool Widget::saveFile(QString &name, const QByteArray &data)
{
    if (!createStoredFile(name, data.size()))
        return false;
    return finishStoredFile(name, data.size(), writeAndClose(*fileIn, data.constData(), data.size()));
}

void Widget::storeFile(const QString &name, const QByteArray &message, QByteArrayView data,
                       std::function<void(bool, const QString &)> stored)
{
    QString storedName = name;
    if (!createStoredFile(storedName, data.size())) {
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

bool Widget::createStoredFile(QString &name, qint64 size)
{
    qDebug() << "saveFile start";
    // The peer picks the name. Only its last component is kept, so that nothing is written
    // outside the working directory, and names that some file system would read as a
    // device, a stream or a path are refused on every platform alike.
    name = tavrel::lastPathComponent(name);
    const bool acceptable = tavrel::isAcceptableFileName(name);
    if (acceptable && !leavesDiskFloor(name, size))
        return false;
    if (!acceptable || !tavrel::createFreshFile(*fileIn, name)) {
        appendPlainText(ui->textEditRead, kCannotWrite + name);
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
        appendPlainText(ui->textEditRead, kCannotWrite + name);
        qWarning().noquote() << QStringLiteral("Cannot write file %1 (%2 of %3 bytes written): %4")
                                    .arg(name)
                                    .arg(qMax<qint64>(result.written, 0))
                                    .arg(size)
                                    .arg(result.failure);
        return false;
    }
#ifdef Q_OS_WIN
    markFromInternet(name);
#endif
    qDebug() << QStringLiteral("文件: ") + name + QStringLiteral("已保存");
    return true;
}

bool Widget::leavesDiskFloor(const QString &name, qint64 size)
{
    const QStorageInfo disk(QDir::currentPath());
    const qint64 free = disk.bytesAvailable();
    if (!disk.isValid() || free < 0)
        return true; // nothing to go by: the write itself reports a full disk
    const qint64 floor = qMin(kFreeDiskFloorBytes, disk.bytesTotal() / 100 * kFreeDiskFloorPercent);
    if (free - size >= floor)
        return true;
    // A file that does not fit at all is refused as a write that fails, without filling the
    // disk first; one that fits but would eat into the floor gets a notice of its own.
    if (size > free) {
        qWarning().noquote() << QStringLiteral("Cannot write file %1 (0 of %2 bytes written): %3 bytes free")
                                    .arg(name)
                                    .arg(size)
                                    .arg(free);
        appendPlainText(ui->textEditRead, kCannotWrite + name);
        return false;
    }
    qWarning().noquote() << QStringLiteral("Not storing %1: %2 bytes would leave %3 bytes free, less than %4")
                                .arg(name)
                                .arg(size)
                                .arg(free - size)
                                .arg(floor);
    appendPlainText(ui->textEditRead, QStringLiteral("磁盘剩余空间不足，文件未保存：") + name);
    return false;
}
