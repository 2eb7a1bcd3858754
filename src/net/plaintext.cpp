#include "plaintext.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>

void appendPlainText(QTextEdit *edit, const QString &text)
{
    // Follow the end like append does: a reader at the bottom keeps seeing new lines, one
    // who scrolled up is left where he is.
    QScrollBar *bar = edit->verticalScrollBar();
    const bool atBottom = edit->isReadOnly() ? bar->value() >= bar->maximum() : edit->textCursor().atEnd();

    QTextCursor cursor(edit->document());
    cursor.beginEditBlock();
    cursor.movePosition(QTextCursor::End);
    // A fresh format, so the new paragraph inherits nothing (an anchor, a colour) from the
    // text before it.
    if (!edit->document()->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    else
        cursor.setCharFormat(QTextCharFormat());
    cursor.insertText(text, QTextCharFormat());
    cursor.endEditBlock();

    if (atBottom)
        bar->setValue(bar->maximum());
}

void setPlainTextContent(QTextEdit *edit, const QString &text)
{
    edit->setPlainText(text);
}

void showEnd(QTextEdit *edit)
{
    // After an append the cursor usually sits at the end with the view at the bottom
    // already; laying the document out again to confirm it costs as much as the append.
    const QTextCursor cursor = edit->textCursor();
    const QScrollBar *bar = edit->verticalScrollBar();
    if (cursor.atEnd() && !cursor.hasSelection() && bar->value() == bar->maximum())
        return;
    edit->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
    edit->ensureCursorVisible();
}
