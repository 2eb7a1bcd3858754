#include "configvalues.h"

#include "validation.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace tavrel::server {

namespace {

constexpr int kSubmissionPort = 587;
constexpr int kSubmissionsPort = 465;

// The mode bits of a Qt permission set, as chmod writes them.
int modeBits(QFileDevice::Permissions permissions)
{
    const int p = int(permissions);
    return ((p >> 12) & 7) << 6 | ((p >> 4) & 7) << 3 | (p & 7);
}

} // namespace

bool readMailTarget(const QString &text, MailConfig &mail, QString *why)
{
    if (text == u"outbox" || text == u"sendmail") {
        mail.transport = text == u"outbox" ? MailConfig::Transport::Outbox : MailConfig::Transport::Sendmail;
        mail.relayUrl.clear();
        return true;
    }
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"smtp" && scheme != u"smtps")) {
        *why = QStringLiteral("expected outbox, sendmail, smtp://host[:port] or smtps://host[:port]");
        return false;
    }
    if (!url.userInfo().isEmpty()) {
        *why = QStringLiteral("the user goes into mail-user and the password into the file that "
                              "mail-password-file names, not into the address");
        return false;
    }
    if (url.host().isEmpty() || !(url.path().isEmpty() || url.path() == u"/") || url.hasQuery() ||
        url.hasFragment()) {
        *why = QStringLiteral("expected only a host and a port after %1://").arg(scheme);
        return false;
    }
    QUrl relay;
    relay.setScheme(scheme);
    relay.setHost(url.host());
    relay.setPort(url.port(scheme == u"smtp" ? kSubmissionPort : kSubmissionsPort));
    mail.transport = MailConfig::Transport::Smtp;
    mail.relayUrl = relay.toString(QUrl::FullyEncoded);
    return true;
}

bool readMailFrom(const QString &text, MailConfig &mail, QString *why)
{
    const QString trimmed = text.trimmed();
    QString name;
    QString address = trimmed;
    const qsizetype open = trimmed.indexOf(u'<');
    if (open >= 0) {
        if (!trimmed.endsWith(u'>')) {
            *why = QStringLiteral("expected an address, or a name and an address in <>");
            return false;
        }
        name = trimmed.left(open).trimmed();
        address = trimmed.mid(open + 1, trimmed.size() - open - 2);
    }
    if (!isPlausibleEmail(address)) {
        *why = QStringLiteral("'%1' is not a mail address").arg(address);
        return false;
    }
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c == u'"' || c == u'\\' || c == u'<' || c == u'>') {
            *why = QStringLiteral("the name may not hold control characters, quotes, backslashes or <>");
            return false;
        }
    }
    const QByteArray bareAddress = address.toUtf8();
    QByteArray header = bareAddress;
    if (!name.isEmpty()) {
        bool ascii = true;
        for (const QChar c : name)
            ascii = ascii && c.unicode() < 0x7f;
        // A quoted string may hold commas and dots; other text needs an RFC 2047 encoded word.
        const QByteArray phrase =
            ascii ? '"' + name.toLatin1() + '"' : "=?UTF-8?B?" + name.toUtf8().toBase64() + "?=";
        header = phrase + " <" + bareAddress + '>';
    }
    mail.fromHeader = header;
    mail.envelopeFrom = bareAddress;
    return true;
}

bool readSecretFile(const QString &path, QByteArray *secret, QString *why)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        *why = QStringLiteral("%1 is not a file").arg(path);
        return false;
    }
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                            QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                            QFileDevice::WriteOther | QFileDevice::ExeOther;
    if (info.permissions() & others) {
        *why = QStringLiteral("%1 may be read or changed by others (mode %2): chmod 600 it")
                   .arg(path)
                   .arg(modeBits(info.permissions()), 4, 8, QLatin1Char('0'));
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray line = file.readLine(4096);
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty()) {
        *why = QStringLiteral("%1 is empty: the secret goes on its first line").arg(path);
        return false;
    }
    *secret = line;
    return true;
}

bool readEndpoint(const QString &text, QHostAddress *address, int *port, QString *why)
{
    const qsizetype colon = text.lastIndexOf(u':');
    QString host = text.left(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(u':'))
        host.clear(); // an IPv6 address without brackets: its last group would pass for the port
    bool ok = false;
    const uint number = text.mid(colon + 1).toUInt(&ok);
    const QHostAddress parsed(host);
    if (colon < 0 || !ok || number > 65535 || parsed.isNull()) {
        *why = QStringLiteral("expected ADDRESS:PORT such as 127.0.0.1:9100 or [::1]:9100");
        return false;
    }
    *address = parsed;
    *port = int(number);
    return true;
}

} // namespace tavrel::server
