#pragma once

#include <QString>

class QTextEdit;

// Adds text as a new paragraph at the end of edit, every character shown as it is:
// text from a peer is never read as markup.
void appendPlainText(QTextEdit *edit, const QString &text);
