#pragma once

#include <QHash>
#include <QSet>
#include <QString>

namespace bench {

// Reads the verification codes the server mails to new users: one RFC 5322 message per
// file in the server's outbox folder. Only files not read before are opened.
class Outbox
{
public:
    explicit Outbox(const QString &folder);

    // The newest code mailed to address, or an empty string when none has arrived yet.
    QString codeFor(const QString &address);

    // The code in one mail and the address it went to; empty strings when not found.
    static void parseMail(const QByteArray &mail, QString *address, QString *code);

private:
    void scan();

    QString m_folder;
    QSet<QString> m_seen;
    QHash<QString, QString> m_codes; // lowercased address -> code
};

} // namespace bench
