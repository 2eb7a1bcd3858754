#pragma once

#include <QLoggingCategory>
#include <QStringList>
#include <QtGlobal>

// Records what the code under test writes to the default logging category, debug lines
// included, as "debug: text" and "critical: text", for as long as it lives.
class LogCapture
{
public:
    LogCapture()
    {
        s_current = this;
        m_debugWasEnabled = QLoggingCategory::defaultCategory()->isDebugEnabled();
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, true);
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        QLoggingCategory::defaultCategory()->setEnabled(QtDebugMsg, m_debugWasEnabled);
        s_current = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const { return m_lines; }
    void clear() { m_lines.clear(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        LogCapture *self = s_current;
        if (self && qstrcmp(context.category, "default") == 0) {
            static const char *const levels[] = {"debug", "warning", "critical", "fatal", "info"};
            self->m_lines.append(QLatin1String(levels[type]) + QLatin1String(": ") + text);
        }
        if (self && type != QtDebugMsg && self->m_previous)
            self->m_previous(type, context, text);
    }

    static inline LogCapture *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    bool m_debugWasEnabled = false;
    QStringList m_lines;
};
