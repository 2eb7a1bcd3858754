// Chat messages and file requests as the server reads and relays them: the text is all
// that follows the prefix, and a relayed chat line starts every line it holds with the
// sender's name or with the two blanks of a continuation.

#include "chattext.h"
#include "protocol.h"
#include "requests.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const tavrel::Request kind = tavrel::requestKind(message);
    const QString text = tavrel::requestText(message);
    if (kind != tavrel::Request::Chat && kind != tavrel::Request::FileRequest) {
        if (!text.isEmpty())
            std::abort();
        return 0;
    }
    if (text != QString::fromUtf8(message.mid(kind == tavrel::Request::Chat ? 2 : 3)))
        std::abort();
    const QString relayed = tavrel::server::relayedChat(QStringLiteral("alice"), text);
    const QStringList lines = relayed.split(u'\n');
    if (!lines.first().startsWith(QLatin1String("alice: ")))
        std::abort();
    for (qsizetype i = 1; i < lines.size(); ++i) {
        if (!lines.at(i).startsWith(QLatin1String("  ")))
            std::abort();
    }
    for (const QChar c : relayed) {
        if (c != u'\n' && tavrel::server::isLineBreak(c))
            std::abort();
    }
    return 0;
}
