#pragma once

#include "measure.h"
#include "session.h"

#include <QHostAddress>
#include <QList>
#include <QMap>
#include <QObject>

#include <vector>

namespace bench {

struct LoginLoadResult
{
    int clients = 0;
    double seconds = 0;
    qint64 ok = 0;      // logins answered with success in the window
    qint64 refused = 0; // any other login answer: refusals, "busy", delays
    qint64 lost = 0;    // connections that closed before their answer
    // The other answers by their text, each number in it made "N" (a wait in seconds).
    QMap<QString, qint64> others;
    Percentiles answerMs; // login message sent to its answer
    QList<CpuWindow::Use> cpu;
    double load1 = 0;
};

// Logins and logouts of distinct users: each session connects, logs in, and closes as soon
// as the answer is there, then does it again, for the whole window. As a spray, every try
// is for a name never tried before, with a wrong password, as a guesser would.
class LoginLoad : public QObject
{
    Q_OBJECT
public:
    LoginLoad(const QHostAddress &host, const QString &digest, const QList<QPair<QString, qint64>> &processes,
              bool spray, QObject *parent = nullptr);
    LoginLoadResult run(const QList<Session *> &sessions, int warmupS, int measureS);

private:
    void start(Session *session);

    QHostAddress m_host;
    QString m_digest;
    CpuWindow m_cpu;
    bool m_spray = false;
    int m_sprayed = 0;
    bool m_measuring = false;
    bool m_stopping = false;
    LoginLoadResult m_result;
    std::vector<qint32> m_answerUs;
};

} // namespace bench
