#include "plaintext.h"

#include <QTextEdit>

void appendPlainText(QTextEdit *edit, const QString &text)
{
    edit->append(text.toHtmlEscaped());
}
