#include "display.h"

namespace tavrel::server {

namespace {

constexpr QStringView kContinuation = u"\n  ";

} // namespace

bool isLineBreak(QChar c)
{
    switch (c.unicode()) {
    case 0x000a: // line feed
    case 0x000b: // vertical tab
    case 0x000c: // form feed
    case 0x000d: // carriage return
    case 0x0085: // next line
    case 0x2028: // line separator
    case 0x2029: // paragraph separator
    case 0xfdd0: // QTextBeginningOfFrame
    case 0xfdd1: // QTextEndOfFrame
        return true;
    default:
        return false;
    }
}

bool isDisplaySafe(QStringView text)
{
    for (const QChar c : text) {
        if (isLineBreak(c) || c.isNonCharacter())
            return false;
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        default:
            break;
        }
    }
    return true;
}

QString indentedLines(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (!isLineBreak(c)) {
            out += c;
            continue;
        }
        if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
            ++i;
        out += kContinuation;
    }
    return out;
}

QString relayedChat(const QString &sender, QStringView text)
{
    return sender + QStringLiteral(": ") + indentedLines(text);
}

} // namespace tavrel::server
