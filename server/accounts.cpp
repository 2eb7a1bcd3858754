#include "accounts.h"

#include "answers.h"
#include "delivery.h"
#include "logging.h"
#include "store.h"
#include "validation.h"

#include <QDateTime>
#include <QDir>

#include <sodium.h>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace tavrel::server {

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString freshCode()
{
    return QStringLiteral("%1").arg(randombytes_uniform(1000000), 6, 10, QLatin1Char('0'));
}

bool sameCode(const QString &a, const QString &b)
{
    const QByteArray x = a.toUtf8();
    const QByteArray y = b.toUtf8();
    return x.size() == y.size() && sodium_memcmp(x.constData(), y.constData(), size_t(x.size())) == 0;
}

int minutesUntil(qint64 whenMs, qint64 now)
{
    return int((whenMs - now + 59999) / 60000);
}

} // namespace

Accounts::Accounts(const Config &config, CodeDelivery *delivery, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_delivery(delivery)
    , m_dbPath(QDir(config.dataDir).filePath(QStringLiteral("tavrel.sqlite")))
{
    if (sodium_init() < 0)
        qFatal("libsodium cannot be initialised");
    if (config.workerThreads > 0)
        m_pool.setMaxThreadCount(config.workerThreads);
    // Each thread keeps its database connection while it lives; let them live.
    m_pool.setExpiryTimeout(-1);
}

Accounts::~Accounts()
{
    m_pool.waitForDone();
}

QString Accounts::databasePath() const
{
    return m_dbPath;
}

bool Accounts::prepare()
{
    Store store(m_dbPath);
    return store.open() && store.migrate();
}

Store *Accounts::threadStore()
{
    if (m_stores.hasLocalData())
        return m_stores.localData();
#ifdef Q_OS_LINUX
    // Hashing must not starve the thread that relays chat; nice values are per thread here.
    setpriority(PRIO_PROCESS, id_t(gettid()), 10);
#endif
    auto store = std::make_unique<Store>(m_dbPath);
    if (!store->open())
        return nullptr;
    m_stores.setLocalData(store.get());
    return store.release();
}

QByteArray Accounts::hash(const QString &digest) const
{
    const QByteArray secret = digest.toUtf8();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, secret.constData(), quint64(secret.size()), m_config.pwhashOps,
                          m_config.pwhashMem) != 0) {
        qCCritical(lcAccounts) << "password hashing ran out of memory";
        return QByteArray();
    }
    return QByteArray(out);
}

const QByteArray &Accounts::dummyHash()
{
    // Unknown names are checked against this, so they cost as much time as known ones.
    std::call_once(m_dummyOnce, [this] { m_dummyHash = hash(QStringLiteral("0").repeated(32)); });
    return m_dummyHash;
}

void Accounts::login(const LoginFields &fields, QObject *context, std::function<void(LoginResult)> done)
{
    run<LoginResult>(
        context, [this, fields](Store &store) { return doLogin(store, fields); }, std::move(done));
}

void Accounts::registerAccount(const RegistrationFields &fields, QObject *context,
                               std::function<void(QString)> done)
{
    run<QString>(
        context, [this, fields](Store &store) { return doRegister(store, fields); }, std::move(done));
}

Accounts::LoginResult Accounts::doLogin(Store &store, const LoginFields &fields)
{
    LoginResult result;
    const QByteArray secret = fields.digest.toUtf8();
    bool ok = false;
    const std::optional<Store::Account> account = store.account(fields.name, &ok);
    if (!ok)
        return result;
    if (!account) {
        const QByteArray &dummy = dummyHash();
        [[maybe_unused]] const int matched =
            crypto_pwhash_str_verify(dummy.constData(), secret.constData(), quint64(secret.size()));
        result.outcome = LoginResult::Refused;
        return result;
    }
    const qint64 now = nowMs();
    if (account->lockedUntilMs > now) {
        // No hash is checked while locked: guessing gains nothing and costs us nothing.
        result.outcome = LoginResult::Locked;
        result.lockedMinutes = minutesUntil(account->lockedUntilMs, now);
        return result;
    }
    const bool verified = crypto_pwhash_str_verify(account->passwordHash.constData(), secret.constData(),
                                                   quint64(secret.size())) == 0;
    if (verified) {
        const bool rehash = crypto_pwhash_str_needs_rehash(account->passwordHash.constData(),
                                                           m_config.pwhashOps, m_config.pwhashMem) != 0;
        const QByteArray newHash = rehash ? hash(fields.digest) : QByteArray();
        if (account->failures > 0 || account->lockedUntilMs > 0 || !newHash.isEmpty()) {
            if (!store.begin())
                return result;
            if (!store.setFailures(account->name, 0, 0) ||
                (!newHash.isEmpty() && !store.setPasswordHash(account->name, newHash)) || !store.commit()) {
                store.rollback();
                return result;
            }
        }
        result.outcome = LoginResult::Ok;
        result.name = account->name;
        return result;
    }
    // Count the failure against the value in the database, not the one read before the
    // hash: other logins of this account may have failed meanwhile.
    if (!store.begin())
        return result;
    const std::optional<Store::Account> current = store.account(fields.name, &ok);
    if (!ok || !current) {
        store.rollback();
        return result;
    }
    int failures = current->failures + 1;
    qint64 lockedUntil = current->lockedUntilMs;
    if (failures >= m_config.lockoutFailures) {
        failures = 0;
        lockedUntil = now + qint64(m_config.lockoutSeconds) * 1000;
        qCWarning(lcAccounts) << "account" << current->name << "locked after" << m_config.lockoutFailures
                              << "failed logins";
    }
    if (!store.setFailures(current->name, failures, lockedUntil) || !store.commit()) {
        store.rollback();
        return result;
    }
    result.outcome = LoginResult::Refused;
    return result;
}

QString Accounts::doRegister(Store &store, const RegistrationFields &fields)
{
    const QString emailKey = fields.email.toLower();
    const QString code = fields.code.trimmed();
    bool ok = false;
    if (store.account(fields.name, &ok) || !ok)
        return ok ? answers::nameTaken() : QString();

    if (!store.begin())
        return QString();
    const qint64 now = nowMs();
    std::optional<Store::PendingCode> pending = store.pendingCode(emailKey, &ok);
    if (!ok) {
        store.rollback();
        return QString();
    }
    if (pending && pending->expiresMs <= now)
        pending.reset();

    if (code.isEmpty() || !pending) {
        const qint64 resendAt = pending ? pending->issuedMs + qint64(m_config.codeResendSeconds) * 1000 : 0;
        if (pending && resendAt > now) {
            store.rollback();
            return answers::codeResendWait(int((resendAt - now + 999) / 1000));
        }
        const Store::PendingCode fresh{freshCode(), now, now + qint64(m_config.codeValiditySeconds) * 1000,
                                       0};
        if (!store.putPendingCode(emailKey, fresh) || !store.commit()) {
            store.rollback();
            return QString();
        }
        const int minutes = m_config.codeValiditySeconds / 60;
        if (!m_delivery->deliver(fields.email, fields.name, fresh.code, minutes)) {
            if (store.begin() && store.dropPendingCode(emailKey))
                store.commit();
            else
                store.rollback();
            return answers::codeDeliveryFailed();
        }
        return answers::codeSent(fields.email, minutes);
    }

    if (!sameCode(code, pending->code)) {
        const int tries = pending->wrongTries + 1;
        const bool exhausted = tries >= m_config.maxWrongCodes;
        if (!(exhausted ? store.dropPendingCode(emailKey) : store.setWrongTries(emailKey, tries)) ||
            !store.commit()) {
            store.rollback();
            return QString();
        }
        return exhausted ? answers::codeExhausted() : answers::codeWrong(m_config.maxWrongCodes - tries);
    }

    // The code is used up before the slow hash, so it cannot be spent twice meanwhile.
    if (!store.dropPendingCode(emailKey) || !store.commit()) {
        store.rollback();
        return QString();
    }
    const QByteArray passwordHash = hash(fields.digest);
    if (passwordHash.isEmpty() || !store.begin())
        return QString();
    if (store.account(fields.name, &ok) || !ok) {
        store.rollback();
        return ok ? answers::nameTaken() : QString();
    }
    if (!store.insertAccount(fields.name, fields.email, passwordHash, now) || !store.commit()) {
        store.rollback();
        return QString();
    }
    qCInfo(lcAccounts) << "account" << fields.name << "registered";
    return answers::registered();
}

} // namespace tavrel::server
