#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcServer)
Q_DECLARE_LOGGING_CATEGORY(lcAccounts)
Q_DECLARE_LOGGING_CATEGORY(lcFiles)
Q_DECLARE_LOGGING_CATEGORY(lcBus)
Q_DECLARE_LOGGING_CATEGORY(lcMail)

namespace tavrel::server {

// Writes every log message as one line to standard error: "level category: message",
// after a timestamp, or after the sd-daemon priority prefix ("<3>" error, "<4>" warning,
// "<6>" info) when the journal reads standard error (JOURNAL_STREAM is set), which stamps
// lines itself. Line breaks and other control characters in a message are escaped, so no
// message can pass for more than one line. QT_MESSAGE_PATTERN still overrides the form.
void installLogFormat();

} // namespace tavrel::server
