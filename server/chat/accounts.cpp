#include "accounts.h"

#include "answers.h"
#include "codemail.h"
#include "logging.h"
#include "names.h"
#include "tables.h"

#include <QDir>

#include <sodium.h>

namespace tavrel::server {

namespace {

constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kDayMs = 24 * kHourMs;
// Failures of one name that count from each source towards its lock: a single address,
// however patient, cannot lock anyone.
constexpr int kNameFailuresPerSource = 10;
// A name that logged in from a source within this time passes that source's budget and the
// name's lock there: its owner, at home or at work, cannot be locked out by strangers. A
// quarter: someone who logs in at least that often never meets a lock at home.
constexpr qint64 kKnownSourceMs = 90 * kDayMs;
// Account jobs one source may have queued or running at once, of the maxAccountJobs of
// all: with the default 32, eight sources must flood together to fill the queue. The jobs
// are started in turn by source, and a source with none in the queue goes first, so a user
// who logs in waits for the jobs running and its own, not for anyone's backlog. Four covers the logins of a
// household or a small office at one moment. With six sources of ten connections flooding at the interactive
// cost, another user logged in after 738 ms (tst_codes queueFlood, 2-core machine at load 8); without the
// share and the turns, the queue was full and the answer "busy".
constexpr int kAccountJobsPerSource = 4;

// The advisory lock keys of what an account transaction reads and counts.
QString lockKey(char kind, const QString &value)
{
    return QString(QLatin1Char(kind)) + QLatin1Char(':') + value;
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

int secondsUntil(qint64 whenMs, qint64 now)
{
    return int((whenMs - now + 999) / 1000);
}

} // namespace

QString nameKey(const QString &name)
{
    return canonicalName(name);
}

Accounts::Accounts(const Config &config, CodeMailer *mailer, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_mailer(mailer)
    , m_stores(storeLocation(config))
    , m_accountQueue(config.workerThreads, config.maxAccountJobs, [this] { return m_stores.forThisThread(); })
{
    if (sodium_init() < 0)
        qFatal("libsodium cannot be initialised");
}

Accounts::~Accounts() = default;

StoreLocation Accounts::storeLocation(const Config &config)
{
    StoreLocation location{QDir(config.dataDir).filePath(QStringLiteral("tavrel.sqlite")), std::nullopt};
    QString error;
    if (!config.database.isEmpty())
        location.postgres = parseDatabaseUrl(config.database, config.databasePasswordFile, &error);
    return location;
}

bool Accounts::prepare()
{
    Store store(m_stores.location());
    // Setting up ICU's transliterator for names takes 45 to 60 ms once per thread: here,
    // rather than at the first registration, on the thread that serves the sockets.
    nameSkeleton(answers::serverSender());
    const qint64 now = m_config.clock();
    return store.open() && store.migrate() && store.purge(now, now - kKnownSourceMs);
}

void Accounts::purge()
{
    const auto clock = m_config.clock;
    m_accountQueue.tryRun<bool>(
        this,
        [clock](Store &store) {
            const qint64 now = clock();
            return store.purge(now, now - kKnownSourceMs);
        },
        [](bool ok) {
            if (!ok)
                qCWarning(lcAccounts) << "expired codes and login failures could not be purged";
        },
        false);
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

bool Accounts::login(const LoginFields &fields, const QString &source, QObject *context,
                     std::function<void(LoginResult)> done)
{
    return runFor<LoginResult>(
        source, context, [this, fields, source](Store &store) { return doLogin(store, fields, source); },
        std::move(done));
}

bool Accounts::registerAccount(const RegistrationFields &fields, const QString &source, QObject *context,
                               std::function<void(QString)> done)
{
    return runFor<QString>(
        source, context, [this, fields, source](Store &store) { return doRegister(store, fields, source); },
        std::move(done));
}

bool Accounts::admit(const QString &source, QObject *context, std::function<void()> start)
{
    SourceJobs &jobs = m_sources[source];
    if (m_held >= m_config.maxAccountJobs || jobs.held >= kAccountJobsPerSource) {
        if (jobs.held == 0)
            m_sources.remove(source);
        return false;
    }
    // A source with nothing in the queue goes before those that have: a user who logs in now
    // and then waits for no one's backlog.
    if (jobs.held == 0)
        m_fresh.append(source);
    else if (jobs.waiting.isEmpty())
        m_turns.append(source);
    ++jobs.held;
    ++m_held;
    jobs.waiting.append({context, std::move(start)});
    startWaiting();
    return true;
}

void Accounts::startWaiting()
{
    // Only as many jobs as there are workers go to the pool, whose own queue is first come,
    // first served; the rest wait here and go in turn by source.
    while (m_running < m_accountQueue.threads() && !(m_fresh.isEmpty() && m_turns.isEmpty())) {
        const QString source = m_fresh.isEmpty() ? m_turns.takeFirst() : m_fresh.takeFirst();
        SourceJobs &jobs = m_sources[source];
        const Waiting next = jobs.waiting.takeFirst();
        if (!jobs.waiting.isEmpty())
            m_turns.append(source);
        if (!next.context) {
            release(source);
            continue;
        }
        ++m_running;
        next.start();
    }
}

void Accounts::release(const QString &source)
{
    --m_held;
    const auto jobs = m_sources.find(source);
    if (jobs != m_sources.end() && --jobs->held == 0)
        m_sources.erase(jobs);
}

void Accounts::finished(const QString &source)
{
    --m_running;
    release(source);
    startWaiting();
}

std::optional<int> Accounts::sourceRefusal(const Store::LoginGate &gate, qint64 now) const
{
    if (gate.knownSource || gate.sourceFailures < m_config.loginFailuresPerSource)
        return std::nullopt;
    return secondsUntil(gate.oldestSourceFailureMs + kHourMs, now);
}

// Every step is the same for names that exist and names that do not, down to the hash
// that is checked, so that neither the answer nor its timing tells them apart. No hash is
// taken inside a transaction: its locks would hold up every login of the name and source.
Accounts::LoginResult Accounts::doLogin(Store &store, const LoginFields &fields, const QString &source)
{
    LoginResult result;
    const QString key = nameKey(fields.name);
    const QStringList locks{lockKey('n', key), lockKey('s', source)};
    const qint64 now = m_config.clock();
    bool ok = false;
    // The try is counted as failed before the slow hash, so that the connections of one
    // source cannot check several passwords at once past one delay or budget. What a login
    // writes is limits and a hash for the same password: a crash may lose the last of it
    // without harm, so its commits do not wait for the disk (see Store::Commit).
    if (!store.begin(locks, Store::Commit::Quick))
        return result;
    const std::optional<Store::LoginGate> gate =
        store.loginGate(key, source, now - kHourMs, now - kKnownSourceMs, &ok);
    if (!gate) {
        store.rollback();
        return result;
    }
    const bool locked = !gate->knownSource && gate->lockedUntilMs > now;
    const std::optional<int> spent = sourceRefusal(*gate, now);
    if (locked || gate->nextTryMs > now || spent) {
        store.rollback();
        result.outcome = locked ? LoginResult::Locked : LoginResult::Throttled;
        result.waitSeconds = locked                  ? secondsUntil(gate->lockedUntilMs, now)
                             : gate->nextTryMs > now ? secondsUntil(gate->nextTryMs, now)
                                                     : *spent;
        return result;
    }
    const int failures = gate->failures + 1;
    const qint64 delaySeconds =
        std::min<qint64>(qint64(1) << std::min(failures - 1, 30), m_config.maxLoginDelaySeconds);
    const qint64 failure = store.setLoginDelay(key, source, failures, now + delaySeconds * 1000, now)
                               ? store.addFailure(key, source, now)
                               : -1;
    if (failure < 0 || !store.commit()) {
        store.rollback();
        return result;
    }

    const std::optional<Store::Account> account = store.account(fields.name, &ok);
    if (!ok)
        return result;
    const QByteArray secret = fields.digest.toUtf8();
    const QByteArray &stored = account ? account->passwordHash : dummyHash();
    const bool verified =
        crypto_pwhash_str_verify(stored.constData(), secret.constData(), quint64(secret.size())) == 0 &&
        account;
    const bool rehash =
        verified && crypto_pwhash_str_needs_rehash(account->passwordHash.constData(), m_config.pwhashOps,
                                                   m_config.pwhashMem) != 0;
    const QByteArray newHash = rehash ? hash(fields.digest) : QByteArray();

    if (!store.begin(locks, Store::Commit::Quick))
        return result;
    if (verified) {
        if (!store.clearLoginDelay(key, source) || !store.dropFailure(failure) ||
            !store.rememberSource(key, source, now) ||
            (!newHash.isEmpty() && !store.setPasswordHash(account->name, newHash)) || !store.commit()) {
            store.rollback();
            return result;
        }
        result.outcome = LoginResult::Ok;
        result.name = account->name;
        return result;
    }
    const int counted = store.nameFailures(key, now - kHourMs, kNameFailuresPerSource);
    const bool lock = counted >= m_config.lockoutFailures;
    if (counted < 0 || (lock && !store.lockName(key, now + qint64(m_config.lockoutSeconds) * 1000)) ||
        !store.commit()) {
        store.rollback();
        return result;
    }
    if (lock)
        qCWarning(lcAccounts) << "name" << fields.name << "locked after" << counted
                              << "failed logins in an hour";
    result.outcome = LoginResult::Refused;
    return result;
}

// A registration tells whether a name is taken, so it is answered only within the source's
// budget of failed logins, and each taken (or look-alike) name counts against it as a
// failed login would.
QString Accounts::doRegister(Store &store, const RegistrationFields &fields, const QString &source)
{
    const QString emailKey = fields.email.toLower();
    const QString key = nameKey(fields.name);
    const QString code = fields.code.trimmed();
    const QStringList locks{lockKey('n', key), lockKey('k', nameSkeleton(fields.name)), lockKey('s', source),
                            lockKey('e', emailKey)};
    bool ok = false;
    if (!store.begin(locks))
        return QString();
    const qint64 now = m_config.clock();
    const std::optional<Store::LoginGate> gate =
        store.loginGate(key, source, now - kHourMs, now - kKnownSourceMs, &ok);
    if (!gate) {
        store.rollback();
        return QString();
    }
    if (const std::optional<int> spent = sourceRefusal(*gate, now)) {
        store.rollback();
        return answers::registrationThrottled(*spent);
    }
    const QString taken = nameTakenAnswer(store, fields.name, &ok);
    if (!ok || !taken.isEmpty()) {
        // A probe counts under no name ('*' is in none), so that it locks none.
        if (!ok || store.addFailure(QStringLiteral("*"), source, now) < 0 || !store.commit()) {
            store.rollback();
            return QString();
        }
        return taken;
    }
    std::optional<Store::PendingCode> pending = store.pendingCode(emailKey, key, &ok);
    if (!ok) {
        store.rollback();
        return QString();
    }
    if (pending && pending->blockedUntilMs > now) {
        store.rollback();
        return answers::codeBlocked(secondsUntil(pending->blockedUntilMs, now));
    }
    if (pending && (pending->expiresMs <= now || pending->wrongTries >= m_config.maxWrongCodes))
        pending.reset();

    if (code.isEmpty() || !pending)
        return sendCode(store, fields, emailKey, key, source, pending, now);

    if (!sameCode(code, pending->code)) {
        Store::PendingCode tried = *pending;
        ++tried.wrongTries;
        const bool usedUp = tried.wrongTries >= m_config.maxWrongCodes;
        if (usedUp)
            tried.blockedUntilMs = now + qint64(m_config.codeResendSeconds) * 1000;
        if (!store.putPendingCode(emailKey, key, tried) || !store.commit()) {
            store.rollback();
            return QString();
        }
        return usedUp ? answers::codeBlocked(m_config.codeResendSeconds)
                      : answers::codeWrong(m_config.maxWrongCodes - tried.wrongTries);
    }

    // The code is used up before the slow hash, so it cannot be spent twice meanwhile.
    if (!store.dropPendingCode(emailKey, key) || !store.commit()) {
        store.rollback();
        return QString();
    }
    const QByteArray passwordHash = hash(fields.digest);
    if (passwordHash.isEmpty() || !store.begin(locks))
        return QString();
    const QString takenMeanwhile = nameTakenAnswer(store, fields.name, &ok);
    if (!ok || !takenMeanwhile.isEmpty()) {
        store.rollback();
        return takenMeanwhile;
    }
    if (!store.insertAccount(fields.name, fields.email, passwordHash, now) || !store.commit()) {
        store.rollback();
        return QString();
    }
    qCInfo(lcAccounts) << "account" << fields.name << "registered";
    return answers::registered();
}

// The refusal when the name, or one that looks like it, belongs to an account; empty when
// it is free.
QString Accounts::nameTakenAnswer(Store &store, const QString &name, bool *ok)
{
    if (store.account(name, ok) || !*ok)
        return *ok ? answers::nameTaken() : QString();
    const std::optional<QString> like = store.accountLike(name, ok);
    if (like)
        qCInfo(lcAccounts) << "registration of" << name << "refused: it looks like" << *like;
    return like ? answers::nameLooksTaken() : QString();
}

// Called inside a transaction, which it ends. A code still pending is mailed again rather
// than replaced, so that nobody can cancel the code another person is about to type.
QString Accounts::sendCode(Store &store, const RegistrationFields &fields, const QString &emailKey,
                           const QString &nameKey, const QString &source,
                           const std::optional<Store::PendingCode> &pending, qint64 now)
{
    const std::optional<Store::CodeMailCounts> counts =
        store.codeMailCounts(emailKey, nameKey, source, now - kDayMs, now - kHourMs);
    if (!counts) {
        store.rollback();
        return QString();
    }
    const qint64 last = std::max(counts->lastToEmailMs, counts->lastForNameMs);
    const qint64 resendAt = last > 0 ? last + qint64(m_config.codeResendSeconds) * 1000 : 0;
    QString refusal;
    if (resendAt > now)
        refusal = answers::codeResendWait(secondsUntil(resendAt, now));
    else if (counts->toEmailSince >= m_config.codesPerDay || counts->forNameSince >= m_config.codesPerDay)
        refusal = answers::codeDailyLimit();
    else if (counts->fromSourceSince >= m_config.codeMailsPerSourceHour)
        refusal = answers::codeSourceLimit();
    if (!refusal.isEmpty()) {
        store.rollback();
        return refusal;
    }
    Store::PendingCode next = pending ? *pending : Store::PendingCode{freshCode(), 0, 0, 0, 0};
    next.issuedMs = now;
    next.expiresMs = now + qint64(m_config.codeValiditySeconds) * 1000;
    const qint64 mail = store.recordCodeMail(emailKey, nameKey, source, now);
    if (mail < 0 || !store.putPendingCode(emailKey, nameKey, next) || !store.commit()) {
        store.rollback();
        return QString();
    }
    const int minutes = m_config.codeValiditySeconds / 60;
    if (!m_mailer->send(fields.email, next.code, minutes)) {
        // Neither the quota nor the pending code may hold a mail that never went out.
        const bool undone = store.begin() && store.dropCodeMail(mail) &&
                            (pending ? store.putPendingCode(emailKey, nameKey, *pending)
                                     : store.dropPendingCode(emailKey, nameKey)) &&
                            store.commit();
        if (!undone)
            store.rollback();
        return answers::codeDeliveryFailed();
    }
    return answers::codeSent(fields.email, minutes);
}

} // namespace tavrel::server
