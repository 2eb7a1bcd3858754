#include "configvalues.h"

#include "names.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace tavrel::server {

namespace {

struct SizeUnit
{
    char suffix;
    qint64 factor;
};
constexpr SizeUnit kSizeUnits[] = {{'G', qint64(1) << 30}, {'M', qint64(1) << 20}, {'K', qint64(1) << 10}};

constexpr int kSubmissionPort = 587;
constexpr int kSubmissionsPort = 465;

// The mode bits of a Qt permission set, as chmod writes them.
int modeBits(QFileDevice::Permissions permissions)
{
    const int p = int(permissions);
    return ((p >> 12) & 7) << 6 | ((p >> 4) & 7) << 3 | (p & 7);
}

} // namespace

bool readListen(const QString &text, Config &config, QString *why)
{
    config.listenAddress = QHostAddress(text);
    *why = QStringLiteral("not an IP address");
    return !config.listenAddress.isNull();
}

bool readMailTarget(const QString &text, Config &config, QString *why)
{
    MailConfig &mail = config.mail;
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

bool readMailFrom(const QString &text, Config &config, QString *why)
{
    MailConfig &mail = config.mail;
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
                   .arg(path, QStringLiteral("%1").arg(modeBits(info.permissions()), 4, 8, QLatin1Char('0')));
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

bool readMetrics(const QString &text, Config &config, QString *why)
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
    config.metricsAddress = parsed;
    config.metricsPort = int(number);
    return true;
}

bool readSize(const QString &text, qint64 *bytes, QString *why)
{
    QString digits = text.trimmed().toUpper();
    qint64 unit = 1;
    for (const SizeUnit &u : kSizeUnits) {
        if (digits.endsWith(QLatin1Char(u.suffix))) {
            unit = u.factor;
            digits.chop(1);
            break;
        }
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    if (!ok || value < 0 || value > std::numeric_limits<qint64>::max() / unit) {
        *why = QStringLiteral("expected a size such as 4096, 512K, 20M or 1G");
        return false;
    }
    *bytes = value * unit;
    return true;
}

QString sizeText(qint64 bytes)
{
    for (const SizeUnit &u : kSizeUnits) {
        if (bytes >= u.factor && bytes % u.factor == 0)
            return QString::number(bytes / u.factor) + QLatin1Char(u.suffix);
    }
    return QString::number(bytes);
}

bool readFreeDisk(const QString &text, Config &config, QString *why)
{
    qint64 bytes = 0;
    int percent = 0;
    const QStringList parts = text.split(QLatin1Char(','));
    if (parts.size() > 2) {
        *why = QStringLiteral("expected a share, a size or both, such as 5%,1G");
        return false;
    }
    for (const QString &part : parts) {
        const QString value = part.trimmed();
        if (value.endsWith(QLatin1Char('%'))) {
            bool ok = false;
            percent = value.chopped(1).toInt(&ok);
            if (!ok || percent < 0 || percent > 100) {
                *why = QStringLiteral("a share is 0% to 100%");
                return false;
            }
        } else if (!readSize(value, &bytes, why)) {
            return false;
        }
    }
    config.minFreeBytes = bytes;
    config.minFreePercent = percent;
    return true;
}

} // namespace tavrel::server
