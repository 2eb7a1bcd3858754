#pragma once

#include <QLoggingCategory>
#include <QStringList>

// Records the debug lines of the default logging category while it lives, in order. The
// test environment turns debug output off, so the category is switched on for its life.
class LogCapture
{
public:
    LogCapture()
    {
        s_active = this;
        m_previousHandler = qInstallMessageHandler(&LogCapture::handle);
        m_previousFilter = QLoggingCategory::installFilter(&LogCapture::filter);
    }
    ~LogCapture()
    {
        QLoggingCategory::installFilter(m_previousFilter);
        qInstallMessageHandler(m_previousHandler);
        s_active = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const QStringList &lines() const { return m_lines; }
    void clear() { m_lines.clear(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg && qstrcmp(context.category, "default") == 0)
            s_active->m_lines.append(text);
        else
            s_active->m_previousHandler(type, context, text);
    }
    static void filter(QLoggingCategory *category)
    {
        if (s_active->m_previousFilter)
            s_active->m_previousFilter(category);
        if (qstrcmp(category->categoryName(), "default") == 0)
            category->setEnabled(QtDebugMsg, true);
    }

    static inline LogCapture *s_active = nullptr;
    QtMessageHandler m_previousHandler = nullptr;
    QLoggingCategory::CategoryFilter m_previousFilter = nullptr;
    QStringList m_lines;
};
