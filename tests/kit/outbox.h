#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

// Reads the verification codes the server mails to new users: one RFC 5322 message per
// file in the outbox folder of each server instance. Only files not read before are opened.
class Outbox
{
public:
    explicit Outbox(const QStringList &folders);

    // The newest code mailed to address, or an empty string when none has arrived yet.
    QString codeFor(const QString &address);

    // The code in one mail and the address it went to; empty strings when not found.
    static void parseMail(const QByteArray &mail, QString *address, QString *code);

private:
    void scan();

    QStringList m_folders;
    QSet<QString> m_seen;
    QHash<QString, QString> m_codes; // lowercased address -> code
};

// The newest code mailed to address, read from one outbox folder; empty when none has come.
inline QString mailedCode(const QString &outbox, const QString &address)
{
    return Outbox({outbox}).codeFor(address);
}
