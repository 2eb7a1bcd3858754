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
