#include "outbox.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <algorithm>

namespace {

QByteArray decodeQuotedPrintable(const QByteArray &in)
{
    QByteArray out;
    out.reserve(in.size());
    for (int i = 0; i < in.size(); ++i) {
        if (in.at(i) != '=') {
            out += in.at(i);
            continue;
        }
        if (i + 1 < in.size() && (in.at(i + 1) == '\r' || in.at(i + 1) == '\n')) {
            i += (in.at(i + 1) == '\r' && i + 2 < in.size() && in.at(i + 2) == '\n') ? 2 : 1;
            continue;
        }
        if (i + 2 < in.size()) {
            bool ok = false;
            const int value = in.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                out += char(value);
                i += 2;
                continue;
            }
        }
        out += '=';
    }
    return out;
}

} // namespace

Outbox::Outbox(const QStringList &folders)
    : m_folders(folders)
{}

void Outbox::parseMail(const QByteArray &mail, QString *address, QString *code)
{
    address->clear();
    code->clear();
    QByteArray normalized = mail;
    normalized.replace("\r\n", "\n");
    const int blank = normalized.indexOf("\n\n");
    const QByteArray head = blank < 0 ? normalized : normalized.left(blank);
    QByteArray body = blank < 0 ? QByteArray() : normalized.mid(blank + 2);

    // Headers may be folded onto several lines; a line that starts with white space continues
    // the one before.
    QList<QByteArray> headers;
    for (const QByteArray &line : head.split('\n')) {
        if (!headers.isEmpty() && !line.isEmpty() && (line.at(0) == ' ' || line.at(0) == '\t'))
            headers.last() += ' ' + line.trimmed();
        else
            headers.append(line);
    }
    QByteArray encoding;
    for (const QByteArray &header : headers) {
        const int colon = header.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray field = header.left(colon).trimmed().toLower();
        const QByteArray value = header.mid(colon + 1).trimmed();
        if (field == "to") {
            static const QRegularExpression addressPattern(QStringLiteral("[^\\s<>\",]+@[^\\s<>\",]+"));
            const auto match = addressPattern.match(QString::fromUtf8(value));
            if (match.hasMatch())
                *address = match.captured(0).toLower();
        } else if (field == "content-transfer-encoding") {
            encoding = value.toLower();
        }
    }
    if (encoding == "base64")
        body = QByteArray::fromBase64(body.simplified().replace(' ', ""));
    else if (encoding == "quoted-printable")
        body = decodeQuotedPrintable(body);

    // The greeting may hold the user's name, and a name may hold six digits; the code is
    // the run that follows a colon, or failing that the first run.
    static const QRegularExpression labelled(QStringLiteral("[:\uFF1A]\\s*([0-9]{6})(?![0-9])"));
    static const QRegularExpression bare(QStringLiteral("(?<![0-9])([0-9]{6})(?![0-9])"));
    const QString text = QString::fromUtf8(body);
    auto match = labelled.match(text);
    if (!match.hasMatch())
        match = bare.match(text);
    if (match.hasMatch())
        *code = match.captured(1);
}

void Outbox::scan()
{
    QFileInfoList files;
    for (const QString &folder : m_folders)
        files += QDir(folder).entryInfoList({QStringLiteral("*.eml")}, QDir::Files);
    std::sort(files.begin(), files.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return a.lastModified() < b.lastModified(); });
    for (const QFileInfo &info : files) {
        const QString path = info.absoluteFilePath();
        if (m_seen.contains(path))
            continue;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray mail = file.readAll();
        QString address;
        QString code;
        parseMail(mail, &address, &code);
        // A mail still being written has no code yet; read it again on the next scan.
        if (address.isEmpty() || code.isEmpty())
            continue;
        m_seen.insert(path);
        m_codes.insert(address, code);
    }
}

QString Outbox::codeFor(const QString &address)
{
    scan();
    return m_codes.value(address.toLower());
}
