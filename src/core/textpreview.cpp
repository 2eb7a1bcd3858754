#include "textpreview.h"

#include <QStringDecoder>

namespace tavrel {

namespace {

bool endsParagraph(QChar c)
{
    // What QTextCursor::insertText starts a new block at; U+2028 only breaks a line.
    switch (c.unicode()) {
    case u'\n':
    case u'\r':
    case QChar::ParagraphSeparator:
    case 0xfdd0: // QTextBeginningOfFrame
    case 0xfdd1: // QTextEndOfFrame
        return true;
    default:
        return false;
    }
}

bool isMark(QChar c)
{
    const QChar::Category category = c.category();
    return category == QChar::Mark_NonSpacing || category == QChar::Mark_SpacingCombining ||
           category == QChar::Mark_Enclosing;
}

} // namespace

TextPreview textPreview(QByteArrayView utf8, const PreviewLimits &limits)
{
    // Every UTF-16 code unit costs at least one unit, and UTF-8 spends at most three bytes
    // on a code unit (valid or replaced), so more bytes than this can never all be shown.
    const qsizetype decodable = limits.cost * 3;
    TextPreview preview;
    if (utf8.size() <= decodable) {
        preview.text = QString::fromUtf8(utf8);
    } else {
        // A stateful decoder keeps back a sequence cut at the end instead of replacing it.
        QStringDecoder decoder(QStringDecoder::Utf8);
        preview.text = decoder(utf8.first(decodable));
        preview.whole = false;
    }

    const QString &text = preview.text;
    qsizetype cost = 0, paragraph = 0, shown = 0;
    for (; shown < text.size(); ++shown) {
        const QChar c = text.at(shown);
        const bool end = endsParagraph(c);
        cost += 1 + (end ? kParagraphCost : 0) + (isMark(c) ? kMarkCost : 0);
        paragraph = end ? 0 : paragraph + 1;
        if (cost > limits.cost || paragraph > limits.paragraph)
            break;
    }
    if (shown < text.size()) {
        if (shown > 0 && text.at(shown - 1).isHighSurrogate())
            --shown;
        preview.text.truncate(shown);
        preview.whole = false;
    }
    return preview;
}

} // namespace tavrel
