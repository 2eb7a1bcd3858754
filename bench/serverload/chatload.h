#pragma once

#include "loadline.h"
#include "measure.h"
#include "session.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <string>
#include <vector>

namespace bench {

struct LoadSettings
{
    QHostAddress host;
    QList<quint16> ports; // one per server instance
    int warmupS = 5;
    int measureS = 20;
    int drainS = 5;
    int lineBytes = 60;
    // Processes whose CPU is reported, by name, each with its descendants (a database's
    // backends). Those named "server..." are the chat servers.
    QList<QPair<QString, qint64>> processes;
    QString loginDigest;   // what the extra login connections send
    QStringList loginPool; // accounts they log in with, in turn
    int perAddress = 0;    // extra logins per loopback source address; 0: one address
    bool quiet = false;    // the clients stay logged in but send no chat: only logins load the server
};

struct LoadResult
{
    int clients = 0;
    int loginRate = 0;
    double seconds = 0;
    qint64 linesSent = 0; // in the measuring window
    qint64 expected = 0;  // linesSent x clients
    qint64 delivered = 0; // deliveries of those lines, counted until the drain ended
    qint64 lost = 0;
    qint64 duplicates = 0;
    qint64 misframed = 0; // messages or lines the client would show wrongly
    qint64 stale = 0;     // lines of an earlier run
    qint64 foreign = 0;   // chat lines that are not load lines (server notices)
    qint64 userLists = 0; // that reached the clients while the window was open
    qint64 userListBytes = 0;
    int sessionsDropped = 0;
    qint64 lateGaps = 0;      // messages this process ended late (see Session::lateGaps)
    qint64 earlyMessages = 0; // messages the server sent within the quiet gap (Session::earlyMessages)
    double closestEarlyMs = 0;
    Percentiles latencyMs; // stamp to arrival of the bytes
    Percentiles shownMs;   // stamp to the end of the client's quiet gap
    Percentiles crossMs;   // latency of deliveries to another instance's client than the sender's
    double serverCpu = -1; // % of one core, all threads of all servers
    double serverMainCpu = -1;
    QList<QPair<QString, double>> processCpu; // % of one core, as LoadSettings::processes
    double benchCpu = -1;
    double maxSendLagMs = 0;
    double load1 = 0;
    qint64 loginsStarted = 0; // asked for in the window
    qint64 loginsOk = 0;      // answered in the window
    qint64 loginsRefused = 0;
    qint64 loginsFailed = 0;    // connection lost in the window before an answer
    qint64 loginsAbandoned = 0; // still unanswered when the run ended
    Percentiles loginMs;        // login message sent to answer arrived, answers in the window
    QStringList notes;
};

// Drives one measurement: every client sends one stamped chat line per second, the sends
// spread evenly over the second, while every client checks and times what it receives.
// With a login rate, extra connections log in at that rate for the whole run.
class ChatLoad : public QObject
{
    Q_OBJECT
public:
    explicit ChatLoad(const LoadSettings &settings, QObject *parent = nullptr);

    LoadResult run(const QList<Session *> &clients, int loginRate);

private:
    struct Sent
    {
        qint64 us = 0;
        bool measured = false;
        int deliveries = 0;
    };
    struct LoginAttempt
    {
        Session *session = nullptr;
        qint64 startUs = 0;
        qint64 sentUs = 0;
        bool measured = false;
    };

    void tick();
    void sendDue(qint64 now);
    void startDueLogins(qint64 now);
    void expireLogins(qint64 now);
    void endLogin(LoginAttempt *attempt, int outcome, qint64 answerUs);
    void receive(Session *receiver, const QByteArray &message, qint64 arrivalUs);
    void receiveChat(int receiver, const QByteArray &message, qint64 arrivalUs, qint64 shownUs);
    // Counts one delivery; false when the stamp is not one this run sent.
    bool record(int receiver, const Stamp &stamp, qint64 arrivalUs, qint64 shownUs);
    // Keeps a few notes of each kind for the report.
    void note(const QString &kind, const QString &text);
    // Counts a message or line a client would show wrongly, keeping a sample of the first few.
    void misframe(const char *what, std::string_view sample);
    void misframe(const char *what, const QByteArray &sample);
    void noteSample(const char *what, std::string_view sample);

    LoadSettings m_settings;
    QList<Session *> m_clients;
    std::vector<std::string> m_names;
    int m_n = 0;
    int m_loginRate = 0;
    qint64 m_t0 = 0;
    qint64 m_windowStart = 0;
    qint64 m_windowEnd = 0;
    qint64 m_nextEvent = 0;
    qint64 m_nextLogin = 0;
    bool m_windowOpen = false;
    bool m_sendingDone = false;
    std::vector<std::vector<Sent>> m_sent;
    std::vector<int> m_lastSeq; // receiver * n + sender
    std::vector<qint32> m_latency;
    std::vector<qint32> m_shown;
    std::vector<qint32> m_cross;
    std::vector<qint32> m_loginLatency;
    std::vector<LoginAttempt *> m_logins;
    CpuWindow m_cpu;
    // The name under which this process's own CPU is read.
    static inline const QString kBenchItself = QStringLiteral("<bench>");
    qint64 m_windowStartedUs = 0;
    LoadResult m_result;
    QHash<QString, int> m_noteCounts;
    QTimer m_tick;
};

} // namespace bench
