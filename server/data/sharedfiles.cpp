#include "sharedfiles.h"

#include "chattext.h"
#include "filenames.h"
#include "logging.h"
#include "protocol.h"
#include "rasterformat.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <cerrno>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tavrel::server {

namespace {

// Where the system has no unnamed files, an upload is written under this prefix first.
// Such names are never served, and a restart removes what a crash left.
const QString kTempPrefix = QStringLiteral(".tavrel-upload-");
// What is read of a file to tell an image, and the pieces an image is hashed in.
constexpr qint64 kSniffedBytes = 64 * 1024;

QByteArray sha256Hex(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

bool isUtf8Text(const QByteArray &bytes)
{
    if (bytes.contains('\0'))
        return false;
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    Q_UNUSED(text);
    return !decoder.hasError();
}

// A name a client can receive and show: it ends at the first separator, and a line break
// in it would start a line of its own in every announcement.
bool fitsClientName(const QString &name)
{
    return name.toUtf8().size() <= kMaxServedNameBytes && !name.contains(QLatin1String(kSeparatorText)) &&
           isDisplaySafe(name);
}

qint64 systemWrite(int fd, const char *data, qint64 size)
{
    return ::write(fd, data, size_t(size));
}

bool writeAll(const FileWriter &writer, int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = writer(fd, bytes.constData() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

bool syncFolder(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// An unnamed file in dir, where the system has them.
int openUnnamed(const QString &dir)
{
#ifdef O_TMPFILE
    return ::open(QFile::encodeName(dir).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
    Q_UNUSED(dir);
    errno = EOPNOTSUPP;
    return -1;
#endif
}

} // namespace

FileStore::FileStore(const QString &dir, const Limits &limits, FileWriter writer)
    : m_dir(dir)
    , m_limits(limits)
    , m_writer(writer ? std::move(writer) : FileWriter(systemWrite))
{}

void FileStore::removeLeftovers() const
{
    const QDir dir(m_dir);
    for (const QString &name :
         dir.entryList({kTempPrefix + u'*'}, QDir::Files | QDir::Hidden | QDir::System)) {
        if (QFile::remove(dir.filePath(name)))
            qCInfo(lcFiles) << "removed the unfinished upload" << name;
    }
}

bool FileStore::hasRoom() const
{
    // Asks the file system that holds the folder itself. QStorageInfo first looks for the
    // folder's mount among those the process can see, and in a chroot whose root is not a
    // mount point it finds none: every upload was then refused as if the disk were full.
    struct statvfs disk;
    if (::statvfs(QFile::encodeName(m_dir).constData(), &disk) != 0 || disk.f_blocks == 0)
        return false;
    const qint64 total = qint64(disk.f_blocks) * qint64(disk.f_frsize);
    const qint64 free = qint64(disk.f_bavail) * qint64(disk.f_frsize);
    return free >= m_limits.minFreeBytes && free >= total / 100 * m_limits.minFreePercent;
}

FileStore::Prepared::~Prepared()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_tempPath.isEmpty())
        ::unlink(QFile::encodeName(m_tempPath).constData());
}

std::unique_ptr<FileStore::Prepared> FileStore::prepare(const QString &path, const QByteArray &contents,
                                                        Refusal *refusal) const
{
    QString name;
    *refusal = check(path, contents, &name);
    if (*refusal == Refusal::None && !hasRoom())
        *refusal = Refusal::NoSpace;
    if (*refusal != Refusal::None)
        return nullptr;

    std::unique_ptr<Prepared> prepared(new Prepared);
    prepared->m_name = name;
    prepared->m_size = contents.size();
    prepared->m_fd = openUnnamed(m_dir);
    const bool unnamedUnsupported =
        prepared->m_fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL);
    for (int attempt = 0; unnamedUnsupported && prepared->m_fd < 0 && attempt < 8; ++attempt) {
        char random[8];
        randombytes_buf(random, sizeof random);
        const QString temp = QDir(m_dir).filePath(
            kTempPrefix + QString::fromLatin1(QByteArray(random, sizeof random).toHex()));
        prepared->m_fd =
            ::open(QFile::encodeName(temp).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (prepared->m_fd >= 0)
            prepared->m_tempPath = temp;
        else if (errno != EEXIST)
            break;
    }
    if (prepared->m_fd < 0 || !writeAll(m_writer, prepared->m_fd, contents) || ::fsync(prepared->m_fd) != 0) {
        const int error = errno;
        qCWarning(lcFiles) << "cannot write an upload into" << m_dir << qt_error_string(error);
        *refusal = error == ENOSPC || error == EDQUOT ? Refusal::NoSpace : Refusal::Failed;
        return nullptr;
    }
    prepared->m_sha256Hex = sha256Hex(contents);
    return prepared;
}

FileStore::Refusal FileStore::check(const QString &path, const QByteArray &contents, QString *name)
{
    if (!isServableName(path, name))
        return Refusal::BadName;
    if (contents.size() > kMaxOutgoingFileSize)
        return Refusal::TooBig;
    if (!isUtf8Text(contents))
        return Refusal::NotText;
    return Refusal::None;
}

bool FileStore::contains(const QString &name) const
{
    const QFileInfo entry(QDir(m_dir).filePath(name));
    return entry.exists() || entry.isSymLink();
}

bool FileStore::isRasterImage(const QByteArray &head)
{
    const QByteArray format = rasterFormat(head);
    if (format != "bmp")
        return !format.isEmpty();
    // "BM" alone starts many texts: the size of the header that follows must be one that a
    // bitmap has (BITMAPCOREHEADER 12 to BITMAPV5HEADER 124).
    if (head.size() < 18)
        return false;
    const quint32 header = quint8(head[14]) | quint32(quint8(head[15])) << 8 |
                           quint32(quint8(head[16])) << 16 | quint32(quint8(head[17])) << 24;
    return header == 12 || header == 40 || header == 52 || header == 56 || header == 64 || header == 108 ||
           header == 124;
}

FileStore::Refusal FileStore::publish(Prepared &prepared, QString *storedName) const
{
    const QDir dir(m_dir);
    const QByteArray source = prepared.m_tempPath.isEmpty()
                                  ? QByteArrayLiteral("/proc/self/fd/") + QByteArray::number(prepared.m_fd)
                                  : QFile::encodeName(prepared.m_tempPath);
    QString name = prepared.m_name;
    bool tooLong = false;
    int error = 0;
    // link() never replaces a name that exists: that is the test for a free one.
    const bool placed = placeUnderFreeName(name, [&](const QString &candidate) {
        // A numbered variant of a long name can grow past what a client accepts; such a
        // file could never be requested.
        if (!fitsClientName(candidate)) {
            tooLong = true;
            return Placement::Failed;
        }
        const QByteArray target = QFile::encodeName(dir.filePath(candidate));
        if (::linkat(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), AT_SYMLINK_FOLLOW) == 0)
            return Placement::Placed;
        error = errno;
        return error == EEXIST ? Placement::Taken : Placement::Failed;
    });
    if (!placed) {
        if (!tooLong)
            qCWarning(lcFiles) << "cannot link an upload as" << name << "in" << m_dir
                               << qt_error_string(error);
        return tooLong ? Refusal::BadName : Refusal::Failed;
    }
    if (!syncFolder(m_dir)) {
        qCWarning(lcFiles) << "cannot sync" << m_dir << qt_error_string(errno);
        withdraw(name);
        return Refusal::Failed;
    }
    *storedName = name;
    return Refusal::None;
}

void FileStore::withdraw(const QString &storedName) const
{
    if (!QFile::remove(QDir(m_dir).filePath(storedName)))
        qCWarning(lcFiles) << "cannot remove" << storedName << "from" << m_dir;
}

OpenFile::OpenFile(int fd, qint64 size)
    : m_fd(fd)
    , m_size(size)
{}

OpenFile::~OpenFile()
{
    ::close(m_fd);
}

qint64 OpenFile::read(char *data, qint64 max)
{
    for (;;) {
        const ssize_t read = ::read(m_fd, data, size_t(max));
        if (read >= 0 || errno != EINTR)
            return read;
    }
}

bool FileStore::isServableName(const QString &path, QString *name)
{
    *name = lastPathComponent(path);
    return isAcceptableFileName(*name) && fitsClientName(*name) && !name->startsWith(kTempPrefix);
}

FileStore::Served FileStore::open(const QString &requested) const
{
    Served served;
    if (!isServableName(requested, &served.name)) {
        served.status = Served::BadName;
        return served;
    }
    const QString root = QFileInfo(m_dir).canonicalFilePath();
    const QFileInfo info(QDir(m_dir).filePath(served.name));
    // A link in the folder must not lead out of it.
    const QString target = info.canonicalFilePath();
    if (root.isEmpty() || target.isEmpty() || !target.startsWith(root + QLatin1Char('/')) || !info.isFile()) {
        served.status = Served::NotFound;
        return served;
    }
    // Not blocking: should a pipe have taken the name since, opening it must not wait.
    const int fd =
        ::open(QFile::encodeName(target).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat status = {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        served.status = Served::NotFound;
        return served;
    }
    auto file = std::make_shared<OpenFile>(fd, qint64(status.st_size));
    if (file->size() > kMaxServedFile) {
        served.status = Served::TooBig;
        return served;
    }
    // By content: a text named x.png is still text, and an image is an image whatever its
    // name. The magic numbers lie in the first bytes.
    QByteArray head(std::min<qint64>(file->size(), kSniffedBytes), Qt::Uninitialized);
    if (::pread(fd, head.data(), size_t(head.size()), 0) != head.size()) {
        qCWarning(lcFiles) << "cannot read" << target << qt_error_string(errno);
        served.status = Served::NotFound;
        return served;
    }
    served.image = isRasterImage(head);
    if (served.image) {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QByteArray chunk(kSniffedBytes, Qt::Uninitialized);
        for (qint64 at = 0; at < file->size();) {
            const ssize_t read = ::pread(fd, chunk.data(), size_t(chunk.size()), at);
            if (read <= 0)
                break;
            hash.addData(QByteArrayView(chunk.constData(), read));
            at += read;
        }
        served.sha256Hex = hash.result().toHex();
    }
    served.file = std::move(file);
    served.status = Served::Ok;
    return served;
}

} // namespace tavrel::server
