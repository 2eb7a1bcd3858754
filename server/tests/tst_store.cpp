#include "database.h"
#include "engines.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QVariant>

#include <atomic>
#include <memory>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

std::atomic<int> connectionCounter{0};

// A connection of the test's own, closed and removed with the object.
struct Connection
{
    explicit Connection(const StoreLocation &where)
        : name(u"test-%1"_s.arg(connectionCounter.fetch_add(1)))
    {
        ok = openDatabase(&db, name, where, &error);
    }
    ~Connection()
    {
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    bool exec(const QString &statement)
    {
        QSqlQuery query(db);
        if (query.exec(statement))
            return true;
        error = query.lastError().text();
        return false;
    }
    QString name;
    QSqlDatabase db;
    bool ok = false;
    QString error;
};

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
        if (!postgres) {
            where.sqlitePath = m_dir.filePath(name + u".sqlite"_s);
            return where;
        }
        QString error;
        const QString url = m_postgres.createDatabase(name, &error);
        where.postgres = parseDatabaseUrl(url, m_postgres.passwordFile(), &error);
        if (!where.postgres)
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

    void passwords_data()
    {
        QTest::addColumn<QString>("passwordFile"); // "pgpass": through PGPASSFILE
        QTest::addColumn<QString>("password");     // written to the file
        QTest::addColumn<bool>("opens");
        QTest::newRow("password file") << u"own"_s << PostgresCluster::password() << true;
        QTest::newRow("PGPASSFILE") << u"pgpass"_s << PostgresCluster::password() << true;
        QTest::newRow("wrong password") << u"own"_s << u"guess"_s << false;
        QTest::newRow("no password at all") << QString() << QString() << false;
    }
    void passwords()
    {
        if (!m_postgres.isRunning())
            QSKIP(qPrintable(postgresMissing()));
        QFETCH(QString, passwordFile);
        QFETCH(QString, password);
        QFETCH(bool, opens);
        QString error;
        const QString url = m_postgres.createDatabase(u"pw%1"_s.arg(++m_databases), &error);
        QVERIFY2(!url.isEmpty(), qPrintable(error));
        const QString path = m_dir.filePath(u"password-%1"_s.arg(m_databases));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // libpq reads a password file only when no one else may.
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        const QUrl parsed(url);
        file.write(passwordFile == u"pgpass"_s ? u"127.0.0.1:%1:%2:%3:%4\n"_s.arg(parsed.port())
                                                     .arg(parsed.path().mid(1), parsed.userName(), password)
                                                     .toUtf8()
                                               : password.toUtf8() + '\n');
        file.close();
        qputenv("PGPASSFILE",
                passwordFile == u"pgpass"_s ? QFile::encodeName(path) : QByteArray("/nonexistent"));
        StoreLocation where;
        where.postgres = parseDatabaseUrl(url, passwordFile == u"own"_s ? path : QString(), &error);
        QVERIFY2(where.postgres, qPrintable(error));
        Connection connection(where);
        qunsetenv("PGPASSFILE");
        QVERIFY2(connection.ok == opens, qPrintable(connection.error));
        if (!opens)
            QVERIFY2(connection.error.contains(u"password"_s), qPrintable(connection.error));
    }

    void schemaVersions_data() { backends(); }
    void schemaVersions()
    {
        QFETCH(bool, postgres);
        Connection connection(freshLocation(postgres));
        QVERIFY2(connection.ok, qPrintable(connection.error));
        QCOMPARE(schemaVersion(connection.db, postgres), 0);
        QVERIFY(setSchemaVersion(connection.db, postgres, 3));
        QVERIFY(setSchemaVersion(connection.db, postgres, 4));
        QCOMPARE(schemaVersion(connection.db, postgres), 4);
    }

    // What one writing transaction reads stays true until it commits, whichever
    // connection (or instance) the others write through: no count is lost.
    void writersQueue_data() { backends(); }
    void writersQueue()
    {
        QFETCH(bool, postgres);
        const StoreLocation where = freshLocation(postgres);
        {
            Connection setup(where);
            QVERIFY2(setup.ok && setup.exec(u"CREATE TABLE counter (n BIGINT NOT NULL)"_s) &&
                         setup.exec(u"INSERT INTO counter VALUES (0)"_s),
                     qPrintable(setup.error));
        }
        constexpr int kWriters = 4;
        constexpr int kRounds = 25;
        std::atomic<int> failures{0};
        std::vector<std::unique_ptr<QThread>> threads;
        for (int w = 0; w < kWriters; ++w) {
            threads.emplace_back(QThread::create([&] {
                Connection connection(where);
                for (int i = 0; i < kRounds && connection.ok; ++i) {
                    QString error;
                    QSqlQuery read(connection.db);
                    if (!beginWriting(connection.db, postgres, &error) ||
                        !read.exec(u"SELECT n FROM counter"_s) || !read.next()) {
                        ++failures;
                        continue;
                    }
                    const qint64 n = read.value(0).toLongLong();
                    read.finish();
                    // Room for another writer to read the same n, were it allowed to.
                    QThread::usleep(200);
                    if (!connection.exec(u"UPDATE counter SET n = %1"_s.arg(n + 1)) ||
                        !connection.exec(u"COMMIT"_s)) {
                        connection.exec(u"ROLLBACK"_s);
                        ++failures;
                    }
                }
                if (!connection.ok)
                    failures += kRounds;
            }));
            threads.back()->start();
        }
        for (auto &thread : threads)
            QVERIFY(thread->wait(60000));
        QCOMPARE(failures.load(), 0);
        Connection check(where);
        QSqlQuery total(check.db);
        QVERIFY(total.exec(u"SELECT n FROM counter"_s) && total.next());
        QCOMPARE(total.value(0).toLongLong(), qint64(kWriters * kRounds));
    }
};

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
