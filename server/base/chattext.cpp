#include "chattext.h"

#include "protocol.h"

#include <QTextBoundaryFinder>

#include <vector>

namespace tavrel::server {

namespace {

constexpr QStringView kContinuation = u"\n  ";
constexpr QStringView kIndent = u"  ";
constexpr char16_t kFullWidthAmpersand = u'\uff06';

// The UTF-8 size of text up to each of its positions.
std::vector<qsizetype> utf8Offsets(QStringView text)
{
    std::vector<qsizetype> offsets(size_t(text.size()) + 1, 0);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        // Each half of a surrogate pair counts two of its four bytes.
        const qsizetype bytes = c.isSurrogate() ? 2 : c.unicode() < 0x80 ? 1 : c.unicode() < 0x800 ? 2 : 3;
        offsets[size_t(i) + 1] = offsets[size_t(i)] + bytes;
    }
    return offsets;
}

// The last boundary of this kind in line whose UTF-8 size is within budget and at least
// floor; -1 when there is none.
qsizetype lastBoundary(QTextBoundaryFinder::BoundaryType type, const QString &line,
                       const std::vector<qsizetype> &offsets, qsizetype floor, qsizetype budget)
{
    QTextBoundaryFinder finder(type, line);
    qsizetype best = -1;
    for (qsizetype at = finder.toNextBoundary(); at > 0 && at < line.size(); at = finder.toNextBoundary()) {
        if (offsets[size_t(at)] > budget)
            break;
        if (offsets[size_t(at)] >= floor)
            best = at;
    }
    return best;
}

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

bool isHiddenCharacter(char32_t c)
{
    if (c == u'\t' || c == 0x200c || c == 0x200d || (c <= 0xffff && isLineBreak(QChar(char16_t(c)))))
        return false;
    const QChar::Category category = QChar::category(c);
    return category == QChar::Other_Format || category == QChar::Other_Control;
}

QString relayedText(QStringView text)
{
    QString visible;
    visible.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text.at(i).unicode();
        const bool pair =
            text.at(i).isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate();
        if (pair)
            c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
        if (!isHiddenCharacter(c))
            visible += pair ? text.mid(i, 2) : text.mid(i, 1);
        i += pair ? 1 : 0;
    }
    QString relayed = indentedLines(visible);
    const QString separator = QString::fromLatin1(kSeparatorText);
    for (qsizetype at = relayed.indexOf(separator); at >= 0; at = relayed.indexOf(separator, at + 1))
        relayed[at + kSeparatorSize - 1] = QChar(kFullWidthAmpersand);
    return relayed;
}

QString relayedChat(const QString &sender, QStringView text)
{
    return sender + QStringLiteral(": ") + relayedText(text);
}

QByteArray takeChatPiece(QByteArray &message, qsizetype room)
{
    const qsizetype prefix = qsizetype(qstrlen(kChatPrefix));
    if (message.size() <= room || !message.startsWith(kChatPrefix))
        return std::exchange(message, QByteArray());
    // A line end within reach: the piece ends before it, and the rest starts with the line
    // after it, which starts with a name or with two blanks.
    const qsizetype lineEnd = message.lastIndexOf('\n', room);
    if (lineEnd > prefix) {
        QByteArray piece = message.left(lineEnd);
        message = kChatPrefix + message.mid(lineEnd + 1);
        return piece;
    }
    // A line longer than a segment: cut where a line may wrap, in the second half of the
    // room; or between two characters; or, when not even one fits, after the first.
    qsizetype lineSize = message.indexOf('\n', prefix);
    lineSize = (lineSize < 0 ? message.size() : lineSize) - prefix;
    const QString line = QString::fromUtf8(message.constData() + prefix, lineSize);
    const std::vector<qsizetype> offsets = utf8Offsets(line);
    const qsizetype budget = std::max<qsizetype>(0, room - prefix);
    qsizetype cut = lastBoundary(QTextBoundaryFinder::Line, line, offsets, budget / 2, budget);
    if (cut < 0)
        cut = lastBoundary(QTextBoundaryFinder::Grapheme, line, offsets, 1, budget);
    if (cut < 0) {
        QTextBoundaryFinder first(QTextBoundaryFinder::Grapheme, line);
        cut = first.toNextBoundary();
    }
    if (cut <= 0 || cut >= line.size()) // nothing to cut off: no layout of ours
        return std::exchange(message, QByteArray());
    const qsizetype bytes = offsets[size_t(cut)];
    QByteArray piece = message.left(prefix + bytes);
    message = kChatPrefix + kIndent.toUtf8() + message.mid(prefix + bytes);
    return piece;
}

} // namespace tavrel::server
