#include "validation.h"

#include "answers.h"

#include <QStringList>

namespace tavrel::server {

bool isValidUserName(const QString &name)
{
    if (name.isEmpty() || name.size() > kMaxUserNameLength || name == answers::serverSender())
        return false;
    for (const QChar c : name) {
        if (c.isSurrogate() || !(c.isLetterOrNumber() || QStringView(u"_-.").contains(c)))
            return false;
    }
    return true;
}

bool isPlausibleEmail(const QString &email)
{
    if (email.size() > 254 || email.count(QLatin1Char('@')) != 1)
        return false;
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    const QString local = email.left(at);
    const QString domain = email.mid(at + 1);
    if (local.isEmpty() || local.size() > 64 || local.startsWith(QLatin1Char('.')) ||
        local.endsWith(QLatin1Char('.')) || local.contains(QLatin1String("..")))
        return false;
    for (const QChar c : local) {
        if (c.unicode() > 0x7e || !(c.isLetterOrNumber() || QStringView(u"!#$%&'*+-/=?^_`{|}~.").contains(c)))
            return false;
    }
    const QStringList labels = domain.split(QLatin1Char('.'));
    if (labels.size() < 2)
        return false;
    for (const QString &label : labels) {
        if (label.isEmpty() || label.size() > 63 || label.startsWith(QLatin1Char('-')) ||
            label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (c.unicode() > 0x7e || !(c.isLetterOrNumber() || c == QLatin1Char('-')))
                return false;
        }
    }
    return true;
}

} // namespace tavrel::server
