#include "dbconnection.h"
#include "engines.h"
#include "tables.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <memory>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

std::atomic<int> connectionCounter{0};

// A connection of the test's own, closed and removed with the object.
struct Connection
{
    explicit Connection(const StoreLocation &where) { ok = openDatabase(&db, name, where, &error); }
    ~Connection() { db.close(), db = QSqlDatabase(), QSqlDatabase::removeDatabase(name); }
    bool exec(const QString &statement)
    {
        QSqlQuery query(db);
        if (!query.exec(statement))
            error = query.lastError().text();
        return error.isEmpty();
    }
    const QString name = u"test-%1"_s.arg(connectionCounter.fetch_add(1));
    QSqlDatabase db;
    bool ok = false;
    QString error;
};

// Runs work on threads at once, and waits for them.
template<typename Work> bool concurrently(int threads, Work work)
{
    std::vector<std::unique_ptr<QThread>> started;
    for (int i = 0; i < threads; ++i) {
        started.emplace_back(QThread::create(work));
        started.back()->start();
    }
    return std::all_of(started.begin(), started.end(), [](auto &thread) { return thread->wait(60000); });
}

} // namespace

// The same checks against SQLite and a real PostgreSQL.
class TestStore : public QObject
{
    Q_OBJECT

    PostgresCluster m_postgres;
    QTemporaryDir m_dir;
    int m_databases = 0;

    // A fresh, empty database of the backend the row names.
    StoreLocation freshLocation(bool postgres)
    {
        StoreLocation where;
        const QString name = u"store%1"_s.arg(++m_databases);
        QString error;
        if (!postgres)
            where.sqlitePath = m_dir.filePath(name + u".sqlite"_s);
        else if (!(where.postgres = parseDatabaseUrl(m_postgres.createDatabase(name, &error),
                                                     m_postgres.passwordFile(), &error)))
            qWarning().noquote() << error;
        return where;
    }
    void backends()
    {
        QTest::addColumn<bool>("postgres");
        QTest::newRow("sqlite") << false;
        if (m_postgres.isRunning())
            QTest::newRow("postgresql") << true;
    }

private slots:
    void initTestCase()
    {
        QString error;
        if (postgresMissing().isEmpty())
            QVERIFY2(m_postgres.start(&error), qPrintable(error));
        else
            qWarning().noquote() << "only SQLite is tested:" << postgresMissing();
    }

    // The password through PGPASSFILE, and a wrong one through the server's own file.
    void passwords_data()
    {
        QTest::addColumn<bool>("pgpass");
        QTest::newRow("PGPASSFILE") << true;
        QTest::newRow("wrong password") << false;
    }
    void passwords()
    {
        QFETCH(bool, pgpass);
        if (!m_postgres.isRunning())
            QSKIP(qPrintable(postgresMissing()));
        QString error;
        const QUrl url(m_postgres.createDatabase(u"pw%1"_s.arg(++m_databases), &error));
        QVERIFY2(url.isValid(), qPrintable(error));
        const QString path = m_dir.filePath(u"password-%1"_s.arg(m_databases));
        // libpq reads a password file only when no one else may.
        const QString pgpassLine = u"127.0.0.1:%1:%2:%3:%4\n"_s.arg(
            QString::number(url.port()), url.path().mid(1), url.userName(), PostgresCluster::password());
        QVERIFY(writeSecret(path, pgpass ? pgpassLine.toUtf8() : "guess\n"));
        qputenv("PGPASSFILE", pgpass ? QFile::encodeName(path) : "/nonexistent");
        StoreLocation where;
        where.postgres = parseDatabaseUrl(url.toString(), pgpass ? QString() : path, &error);
        QVERIFY2(where.postgres, qPrintable(error));
        Connection connection(where);
        qunsetenv("PGPASSFILE");
        QVERIFY2(connection.ok == pgpass && (pgpass || connection.error.contains(u"password"_s)),
                 qPrintable(connection.error));
    }

    // Instances that start at once on an empty database: one builds the schema, the others
    // find it built. What one writing transaction reads then stays true until it commits,
    // whichever connection (or instance) the others write through: no count is lost. The
    // queries the backends share then work on both. On PostgreSQL, writers of other names and
    // sources go on while one holds its keys; writers of the same key wait for it.
    void sharedDatabase_data() { backends(); }
    void sharedDatabase()
    {
        QFETCH(bool, postgres);
        const StoreLocation where = freshLocation(postgres);
        std::atomic<int> migrated{0};
        QVERIFY(concurrently(3, [&] {
            Store store(where);
            if (store.open() && store.migrate())
                ++migrated;
        }));
        QCOMPARE(migrated.load(), 3);
        Connection setup(where);
        QVERIFY2(setup.exec(u"CREATE TABLE counter (n BIGINT NOT NULL)"_s) &&
                     setup.exec(u"INSERT INTO counter VALUES (0)"_s),
                 qPrintable(setup.error));
        constexpr int kWriters = 4, kRounds = 25;
        std::atomic<int> done{0};
        QVERIFY(concurrently(kWriters, [&] {
            Connection connection(where);
            for (int i = 0; i < kRounds && connection.ok; ++i) {
                QString error;
                QSqlQuery read(connection.db);
                if (!beginWriting(connection.db, postgres, &error) ||
                    !read.exec(u"SELECT n FROM counter"_s) || !read.next())
                    continue;
                const qint64 n = read.value(0).toLongLong();
                read.finish();
                // Room for another writer to read the same n, were it allowed to.
                QThread::usleep(200);
                if (connection.exec(u"UPDATE counter SET n = %1"_s.arg(n + 1)) &&
                    connection.exec(u"COMMIT"_s))
                    ++done;
                else
                    connection.exec(u"ROLLBACK"_s);
            }
        }));
        QCOMPARE(done.load(), kWriters * kRounds);
        QSqlQuery total(setup.db);
        QVERIFY(total.exec(u"SELECT n FROM counter"_s) && total.next());
        QCOMPARE(total.value(0).toLongLong(), qint64(kWriters * kRounds));

        // The queries both backends share, where their dialects differ most. A later start
        // finds the schema current.
        Store store(where);
        QVERIFY(store.open() && store.migrate());
        QCOMPARE(store.schemaVersion(), postgres ? 3 : Store::currentSchemaVersion());

        // Names are one account whatever their case or width, on both backends.
        bool ok = false;
        for (const auto &[first, second] : {std::pair{u"Alice"_s, u"alice"_s},
                                            {u"Émile"_s, u"émile"_s},
                                            {u"\uff3aoe"_s, u"zoe"_s},
                                            {u"Straße"_s, u"STRASSE"_s}}) {
            QVERIFY(store.insertAccount(first, u"a@example.org"_s, "hash", 1));
            QVERIFY2(!store.insertAccount(second, u"b@example.org"_s, "hash", 2), qPrintable(second));
            QCOMPARE(store.account(second, &ok).value_or(Store::Account()).name, first);
        }
        // Look-alikes are found by their skeleton: Cyrillic р, о and р.
        QVERIFY(store.insertAccount(u"pop"_s, u"p@example.org"_s, "hash", 3));
        QCOMPARE(store.accountLike(u"\u0440\u043e\u0440"_s, &ok).value_or(QString()), u"pop"_s);
        QVERIFY(!store.account(u"\u0440\u043e\u0440"_s, &ok) && ok);

        // A code mail taken back is the one recorded, and only that one.
        QVERIFY(store.begin());
        const qint64 first = store.recordCodeMail(u"a@x.org"_s, u"alice"_s, u"127.0.0.1"_s, 1000);
        const qint64 second = store.recordCodeMail(u"a@x.org"_s, u"alice"_s, u"127.0.0.1"_s, 2000);
        QVERIFY(first > 0 && second > first);
        QVERIFY(store.dropCodeMail(second) && store.commit());
        const auto counts = store.codeMailCounts(u"a@x.org"_s, u"alice"_s, u"127.0.0.1"_s, 0, 0);
        QVERIFY(counts && counts->toEmailSince == 1 && counts->lastToEmailMs == 1000);

        // A code written again replaces the one before.
        QVERIFY(store.putPendingCode(u"a@x.org"_s, u"alice"_s, {u"111111"_s, 1, 2, 0, 0}));
        QVERIFY(store.putPendingCode(u"a@x.org"_s, u"alice"_s, {u"222222"_s, 3, 4, 2, 5}));
        const auto code = store.pendingCode(u"a@x.org"_s, u"alice"_s, &ok);
        QVERIFY(code && code->code == u"222222"_s && code->wrongTries == 2);

        // Failures count at most perSource from each source: 2 of 3, and 1; one taken back
        // counts no more.
        qint64 last = 0;
        for (const char *source : {"10.0.0.1", "10.0.0.1", "10.0.0.1", "10.0.0.2", "10.0.0.2"})
            QVERIFY((last = store.addFailure(u"alice"_s, QString::fromLatin1(source), 100)) > 0);
        QVERIFY(store.dropFailure(last));
        QCOMPARE(store.nameFailures(u"alice"_s, 0, 2), 3);

        if (!postgres)
            return;
        Connection holder(where), other(where), same(where);
        QString error;
        QVERIFY2(beginWriting(holder.db, true, {u"n:alice"_s, u"s:10.0.0.1"_s}, &error), qPrintable(error));
        QVERIFY(same.exec(u"SET lock_timeout = '300ms'"_s) && other.exec(u"SET lock_timeout = '300ms'"_s));
        QVERIFY2(beginWriting(other.db, true, {u"n:bob"_s, u"s:10.0.0.2"_s}, &error), qPrintable(error));
        QVERIFY(other.exec(u"COMMIT"_s));
        QVERIFY(!beginWriting(same.db, true, {u"n:carol"_s, u"s:10.0.0.1"_s}, &error));
        QVERIFY(holder.exec(u"COMMIT"_s));
        QVERIFY2(beginWriting(same.db, true, {u"n:carol"_s, u"s:10.0.0.1"_s}, &error), qPrintable(error));

        // PostgreSQL restarts under a running server: the next request finds the connection
        // opened again, whether it reads or writes.
        QVERIFY2(m_postgres.restart(&error), qPrintable(error));
        QCOMPARE(store.account(u"alice"_s, &ok).value_or(Store::Account()).name, u"Alice"_s);
        QVERIFY2(m_postgres.restart(&error), qPrintable(error));
        QVERIFY(store.begin());
        QVERIFY(store.putPendingCode(u"b@x.org"_s, u"bob"_s, {u"123456"_s, 1, 2, 0, 0}));
        QVERIFY(store.commit());
    }

    // An upgrade keys the accounts: of names that fold to one, the oldest keeps it and the
    // others are set aside; every account is found by any form of its name. PostgreSQL's
    // collation already kept such names apart, so it has nothing to set aside.
    void upgradeFoldsNames_data() { backends(); }
    void upgradeFoldsNames()
    {
        QFETCH(bool, postgres);
        const StoreLocation where = freshLocation(postgres);
        {
            Store old(where);
            // The last version whose names had no keys.
            QVERIFY(old.open() && old.migrate(postgres ? 1 : 2));
        }
        const QList<std::pair<QString, int>> accounts =
            postgres ? QList<std::pair<QString, int>>{{u"Émile"_s, 2}, {u"zoe"_s, 3}}
                     : QList<std::pair<QString, int>>{
                           {u"émile"_s, 5}, {u"Émile"_s, 2}, {u"zoe"_s, 4}, {u"\uff3aoe"_s, 3}};
        Connection raw(where);
        for (const auto &[name, created] : accounts)
            QVERIFY2(raw.exec(u"INSERT INTO accounts (name, email, password_hash, created_ms) VALUES"
                              " ('%1', 'x@example.org', 'h', %2)"_s.arg(name, QString::number(created))),
                     qPrintable(raw.error));
        Store store(where);
        QVERIFY(store.open() && store.migrate());
        bool ok = false;
        const auto owner = [&](const QString &name) {
            return store.account(name, &ok).value_or(Store::Account()).name;
        };
        QCOMPARE(owner(u"EMILE"_s), QString());
        QCOMPARE(owner(u"émile"_s), u"Émile"_s);
        QCOMPARE(owner(u"ZOE"_s), postgres ? u"zoe"_s : u"\uff3aoe"_s);
        QSqlQuery aside(raw.db);
        QVERIFY(aside.exec(u"SELECT name, kept_name FROM accounts_set_aside ORDER BY name"_s));
        QStringList setAside;
        while (aside.next())
            setAside.append(aside.value(0).toString() + u'>' + aside.value(1).toString());
        QCOMPARE(setAside, postgres ? QStringList() : (QStringList{u"zoe>\uff3aoe"_s, u"émile>Émile"_s}));
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
