#pragma once

// A server in the test's own process, on a free port with a fresh data folder and a clock
// that only the test moves, and the plain socket clients that talk to it.

#include "answers.h"
#include "config.h"
#include "digest.h"
#include "files.h"
#include "outbox.h"
#include "protocol.h"
#include "server.h"
#include "tables.h"
#include "testclient.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <atomic>
#include <memory>

inline const QString kPassword = QStringLiteral("secret1");

inline QByteArray reg(const QString &name, const QString &email, const QString &code = QString())
{
    return tavrel::registrationMessage(name, email, code, tavrel::saltedDigest(kPassword));
}

inline QByteArray login(const QString &name, const QString &password = kPassword)
{
    return tavrel::loginMessage(name, tavrel::saltedDigest(password));
}

// kPassword as the server stores it, hashed at this cost.
inline QByteArray storedHash(quint64 ops = crypto_pwhash_OPSLIMIT_MIN,
                             size_t mem = crypto_pwhash_MEMLIMIT_MIN)
{
    const QByteArray digest = tavrel::saltedDigest(kPassword).toLatin1();
    char hash[crypto_pwhash_STRBYTES] = {};
    return crypto_pwhash_str(hash, digest, quint64(digest.size()), ops, mem) == 0 ? QByteArray(hash)
                                                                                  : QByteArray();
}

// Puts these accounts, with kPassword so hashed, into the database at path.
inline void addAccounts(const QString &database, const QStringList &names,
                        const QByteArray &hash = storedHash())
{
    tavrel::server::Store store(database);
    QVERIFY(store.open() && store.migrate() && !hash.isEmpty());
    for (const QString &name : names)
        QVERIFY(store.insertAccount(name, name + QStringLiteral("@example.org"), hash, 0));
}

class ServerFixture
{
public:
    explicit ServerFixture(QObject *owner)
        : m_owner(owner)
    {}

    tavrel::server::Config config;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<tavrel::server::Server> server;

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        // Any free port and the cheapest password hash. Every limit keeps its default: a test
        // that needs time to pass moves the clock.
        config = tavrel::server::Config();
        config.port = 0;
        config.dataDir = dir->path();
        config.pwhashOps = crypto_pwhash_OPSLIMIT_MIN;
        config.pwhashMem = crypto_pwhash_MEMLIMIT_MIN;
        // A quarter of the real gap: an upload (63 KiB at most) crosses loopback in one
        // write, and no test here measures the gap. The pause after a file keeps its margin.
        config.fileGapMs = tavrel::kFileQuietGapMs / 4;
        m_nowMs = std::make_shared<std::atomic<qint64>>(QDateTime::currentMSecsSinceEpoch());
        config.clock = [now = m_nowMs] { return now->load(); };
        m_online.clear();
    }

    void cleanup()
    {
        qDeleteAll(m_owner->findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
        server.reset();
        dir.reset();
    }

    void advance(qint64 ms) { m_nowMs->fetch_add(ms); }

    // Starts the server with these accounts (password kPassword) already in its database.
    void startServer(const QStringList &accounts = {})
    {
        server = std::make_unique<tavrel::server::Server>(config);
        QVERIFY(server->start());
        addAccounts(dataPath(QStringLiteral("tavrel.sqlite")), accounts,
                    storedHash(config.pwhashOps, config.pwhashMem));
    }
    // A client connecting from 127.0.0.<source>; 0: any.
    TestClient *connected(int source = 0)
    {
        auto *client = new TestClient(server->port(), m_owner, source);
        client->setFileGap(config.fileGapMs);
        return client;
    }
    QString dataPath(const QString &name) const { return dir->filePath(name); }
    QString filePath(const QString &name) const { return dir->filePath(QStringLiteral("files/") + name); }
    QStringList files() const
    {
        return QDir(dataPath(QStringLiteral("files")))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    }

    // The code in the newest mail to email.
    QString codeFor(const QString &email) const
    {
        return mailedCode(dataPath(QStringLiteral("outbox")), email);
    }

    // Logs everyone in at once; each then has the list of all logged in so far but itself.
    template<typename... Names> std::array<TestClient *, sizeof...(Names)> loggedIn(const Names &...names)
    {
        const QStringList list{names...};
        std::array<TestClient *, sizeof...(Names)> clients{};
        for (qsizetype i = 0; i < list.size(); ++i) {
            clients[i] = connected();
            clients[i]->send(login(list[i]));
            if (!m_online.contains(list[i]))
                m_online.append(list[i]);
        }
        m_online.sort(Qt::CaseInsensitive);
        for (qsizetype i = 0; i < list.size(); ++i) {
            QStringList others = m_online;
            others.removeOne(list[i]);
            if (clients[i]->take('l') !=
                    tavrel::server::answers::loginReply(tavrel::server::answers::loginOk()) ||
                !clients[i]->expect(tavrel::userList(others)))
                QTest::qFail(qPrintable(QStringLiteral("login of %1 failed").arg(list.join(u' '))), __FILE__,
                             __LINE__);
        }
        return clients;
    }

private:
    QObject *m_owner;
    std::shared_ptr<std::atomic<qint64>> m_nowMs;
    QStringList m_online;
};
