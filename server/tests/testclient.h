#pragma once

// A plain socket client for the server tests: it sends raw messages, keeping the quiet gap
// the server needs between them, and gathers what arrives with the client's own assembler,
// so that two server messages that run together show up as one, as a real client sees them.

#include "assembler.h"

#include <QElapsedTimer>
#include <QTcpSocket>

class TestClient : public QObject
{
    Q_OBJECT
public:
    explicit TestClient(QObject *parent = nullptr);

    bool connectTo(quint16 port);
    void send(const QByteArray &message);
    // Waits for the next message of this kind (first byte) and takes it from the inbox.
    QByteArray take(char kind, int timeoutMs = 5000);
    // Waits for a message equal to expected, taking every message up to it.
    bool expect(const QByteArray &expected, int timeoutMs = 5000);
    // True when nothing of this kind arrives within the time.
    bool nothingOf(char kind, int waitMs = 300);
    // Waits, then empties the inbox and returns the lines of its chat messages, one per
    // line of a merged message.
    QStringList chatLines(int waitMs);
    bool waitClosed(int timeoutMs = 5000);

    QTcpSocket socket;
    QList<QByteArray> inbox;

private:
    tavrel::MessageAssembler m_assembler;
    QElapsedTimer m_lastSend;
    char m_lastKind = 0;
};
