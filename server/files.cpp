#include "files.h"

#include "answers.h"
#include "filenames.h"
#include "logging.h"
#include "protocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QStringDecoder>

namespace tavrel::server {

namespace {

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

bool fitsClientName(const QString &name)
{
    // The client cuts the name at the first separator.
    return name.toUtf8().size() <= kMaxServedNameBytes && !name.contains(QLatin1String(kSeparatorText));
}

} // namespace

FileStore::FileStore(const QString &dir)
    : m_dir(dir)
{}

FileStore::Saved FileStore::save(const QString &path, const QByteArray &contents) const
{
    Saved saved;
    QString name = lastPathComponent(path);
    if (!isAcceptableFileName(name) || !fitsClientName(name)) {
        saved.refusal = answers::uploadBadName();
        return saved;
    }
    if (contents.size() > kMaxOutgoingFileSize) {
        saved.refusal = answers::uploadTooBig(kMaxOutgoingFileSize);
        return saved;
    }
    if (!isUtf8Text(contents)) {
        saved.refusal = answers::uploadNotText();
        return saved;
    }
    QFile file;
    if (!createFreshFile(file, name, m_dir)) {
        qCWarning(lcFiles) << "cannot create" << name << "in" << m_dir << file.errorString();
        saved.refusal = answers::uploadFailed();
        return saved;
    }
    // A numbered variant of a long name can grow past what a client accepts; such a file
    // could never be requested.
    if (!fitsClientName(name)) {
        file.remove();
        saved.refusal = answers::uploadBadName();
        return saved;
    }
    if (file.write(contents) != contents.size() || !file.flush()) {
        qCWarning(lcFiles) << "cannot write" << file.fileName() << file.errorString();
        file.remove();
        saved.refusal = answers::uploadFailed();
        return saved;
    }
    file.close();
    saved.ok = true;
    saved.storedName = name;
    saved.sha256Hex = sha256Hex(contents);
    return saved;
}

FileStore::Served FileStore::read(const QString &requested) const
{
    Served served;
    served.name = lastPathComponent(requested);
    if (!isAcceptableFileName(served.name) || !fitsClientName(served.name)) {
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
    if (info.size() > kMaxServedFile) {
        served.status = Served::TooBig;
        return served;
    }
    QFile file(target);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcFiles) << "cannot read" << target << file.errorString();
        served.status = Served::NotFound;
        return served;
    }
    served.bytes = file.read(kMaxServedFile + 1);
    if (served.bytes.size() > kMaxServedFile) {
        served.status = Served::TooBig;
        served.bytes.clear();
        return served;
    }
    // By content: an uploaded text named x.png is still text, and an image is an image
    // whatever its name.
    static const QMimeDatabase mimes;
    served.image = mimes.mimeTypeForData(served.bytes).name().startsWith(QLatin1String("image/"));
    served.sha256Hex = sha256Hex(served.bytes);
    served.status = Served::Ok;
    return served;
}

} // namespace tavrel::server
