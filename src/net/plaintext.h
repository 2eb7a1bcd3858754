#pragma once

#include <QString>

class QTextEdit;

// Text from a peer is never read as markup: QTextEdit::append and setText guess whether a
// text is HTML, and a guessed <img src=...> would make the window load whatever the peer
// names (on Windows even a share on another host). These put every character in literally.

// Adds text as a new paragraph at the end of edit, as QTextEdit::append does.
void appendPlainText(QTextEdit *edit, const QString &text);

// Replaces the whole content of edit with text.
void setPlainTextContent(QTextEdit *edit, const QString &text);

// Moves the cursor of edit to the end without selecting and scrolls it into view.
void showEnd(QTextEdit *edit);
