#include "outbox.h"

#include "files.h"

#include <QDir>
#include <QRegularExpression>

#include <algorithm>

Outbox::Outbox(const QStringList &folders)
    : m_folders(folders)
{}

// tavrel-server writes its mails in 8 bits, with the address alone on the To line.
void Outbox::parseMail(const QByteArray &mail, QString *address, QString *code)
{
    const QString text = QString::fromUtf8(mail);
    const qsizetype blank = text.indexOf(QStringLiteral("\r\n\r\n"));
    static const QRegularExpression to(QStringLiteral("(?:^|\r\n)To:[^\r\n]*?([^\\s<>\",]+@[^\\s<>\",]+)"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto found = to.match(text.left(blank));
    *address = found.hasMatch() ? found.captured(1).toLower() : QString();

    // The greeting may hold the user's name, and a name may hold six digits; the code is
    // the run that follows a colon, or failing that the first run.
    static const QRegularExpression labelled(QStringLiteral("[:\uFF1A]\\s*([0-9]{6})(?![0-9])"));
    static const QRegularExpression bare(QStringLiteral("(?<![0-9])([0-9]{6})(?![0-9])"));
    const QString body = blank < 0 ? QString() : text.mid(blank + 4);
    auto match = labelled.match(body);
    if (!match.hasMatch())
        match = bare.match(body);
    *code = match.hasMatch() ? match.captured(1) : QString();
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
        QString address;
        QString code;
        parseMail(contents(path), &address, &code);
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
