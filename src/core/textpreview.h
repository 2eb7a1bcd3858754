#pragma once

// How much of a received text file the window shows. A text edit lays out its document on
// the GUI thread: what changed at once, and all of it again whenever its width changes (its
// first showing, a scroll bar coming or going), in steps that grow to 200 000 characters.
// So what it is given must lay out quickly whatever the file holds. The file on disk
// always keeps every byte; only the view is cut.

#include <QByteArrayView>
#include <QString>

namespace tavrel {

// The layout cost of a text in units of about one ordinary character's.
//
// Measured with bench-display and by timing QTextEdit::setPlainText on a visible 401 px
// edit (thread CPU time, Qt 6.4, offscreen): 64 Ki characters cost 4.6 ms as Latin lines of
// 80, 7.9 ms as mixed Chinese and Latin lines of 80 (0.12 us a character), and about as
// much in paragraphs of 4096; 92 ms as 64 Ki empty lines (1.4 us a paragraph, 12 times a
// character) and 48 ms as letters with 8 combining marks each (0.9 us a mark, 8 times a
// character). A paragraph of 16 Ki characters costs twice as much per character as short
// ones, and one of 40 Ki characters twenty times: the cost of a paragraph grows faster
// than its length, so paragraphs are cut as well.
inline constexpr int kParagraphCost = 12; // for each paragraph end
inline constexpr int kMarkCost = 8;       // for each combining mark

struct PreviewLimits
{
    // Layout cost that the text shown may reach: 32 Ki units take about 4 ms on the machine
    // above, so the GUI thread stays well under a frame also on a slower or busy machine.
    qsizetype cost = 32 * 1024;
    // Longest paragraph shown, in UTF-16 code units.
    qsizetype paragraph = 4096;
};

struct TextPreview
{
    QString text; // the file's text decoded from UTF-8, or its start
    bool whole = true;
};

// The text of a received file that the window shows: all of it when it fits the limits,
// otherwise its start, cut before the first character that would pass either limit and
// never inside a surrogate pair. Only the bytes that can be shown are decoded.
TextPreview textPreview(QByteArrayView utf8, const PreviewLimits &limits = {});

} // namespace tavrel
