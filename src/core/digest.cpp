#include "digest.h"

#include <QCryptographicHash>

namespace tavrel {

QString md5Hex(const QString &text)
{
    QCryptographicHash hash(QCryptographicHash::Md5);
    hash.addData(text.toUtf8());
    return QString::fromLatin1(hash.result().toHex());
}

QString saltedDigest(const QString &password, const QString &salt)
{
    return md5Hex(md5Hex(password) + salt);
}

} // namespace tavrel
