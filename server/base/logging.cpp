#include "logging.h"

#include <cstdio>

Q_LOGGING_CATEGORY(lcServer, "tavrel.server", QtInfoMsg)
Q_LOGGING_CATEGORY(lcAccounts, "tavrel.server.accounts", QtInfoMsg)
Q_LOGGING_CATEGORY(lcFiles, "tavrel.server.files", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBus, "tavrel.server.bus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcMail, "tavrel.server.mail", QtInfoMsg)

namespace tavrel::server {

namespace {

void writeLine(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString formatted = qFormatLogMessage(type, context, message);
    QString escaped;
    escaped.reserve(formatted.size() + 8);
    for (const QChar c : formatted) {
        const char16_t u = c.unicode();
        if (u == u'\n')
            escaped += QLatin1String("\\n");
        else if (u == u'\r')
            escaped += QLatin1String("\\r");
        else if ((u < 0x20 && u != u'\t') || u == 0x7f)
            escaped += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else
            escaped += c;
    }
    QByteArray line = escaped.toUtf8();
    line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void installLogFormat()
{
    const QString form = QStringLiteral("%{type} %{category}: %{message}");
    if (qEnvironmentVariableIsSet("JOURNAL_STREAM")) {
        qSetMessagePattern(
            QStringLiteral("%{if-debug}<7>%{endif}%{if-info}<6>%{endif}%{if-warning}<4>%{endif}"
                           "%{if-critical}<3>%{endif}%{if-fatal}<2>%{endif}") +
            form);
    } else {
        qSetMessagePattern(QStringLiteral("%{time yyyy-MM-ddThh:mm:ss.zzz} ") + form);
    }
    qInstallMessageHandler(writeLine);
}

} // namespace tavrel::server
