#pragma once

#include <QLoggingCategory>
#include <QStringList>

// While it lives, records the lines of the default logging category as "debug: text",
// "warning: text", "critical: text"; other categories go on to the test's own handler.
class LogCapture
{
public:
    LogCapture()
    {
        s_lines.clear();
        m_debugWasOn = QLoggingCategory::defaultCategory()->isDebugEnabled();
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, true);
        s_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(s_previous);
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, m_debugWasOn);
    }
    QStringList lines() const { return s_lines; }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        static const char *const levels[] = {"debug: ", "warning: ", "critical: ", "fatal: ", "info: "};
        if (qstrcmp(context.category, "default") == 0 && type != QtFatalMsg)
            s_lines.append(QLatin1String(levels[type]) + text);
        else if (s_previous)
            s_previous(type, context, text);
    }

    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
    bool m_debugWasOn = false;
};
