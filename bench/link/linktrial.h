#pragma once

#include "linkproxy.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// A session as a user has it over a slow link: the real tavrel-server, the real window
// reaching it through a LinkProxy, and another user who chats on a direct connection. The
// window asks for files one after another and sends some of its own, a user's pause apart;
// afterwards every stored file and every chat line is checked.
//
// The window works in the current directory, which must be empty.
struct TrialFile
{
    QString name;
    QByteArray bytes;
    bool upload = false; // sent by the window; otherwise put in the server's folder and asked for
};

struct TrialResult
{
    int downloads = 0;
    int downloadsIntact = 0;
    int uploads = 0;
    int uploadsIntact = 0;
    int chatLines = 0;
    int chatLinesIntact = 0;
    LinkStats down;
    LinkStats up;
    double seconds = 0;
    // How long the window's click on the connect button took, TCP and TLS included.
    qint64 connectMs = 0;
    // Everything that went wrong, one line each: empty when the session went as it should.
    QStringList faults;
};

struct TrialSettings
{
    QString serverBinary;
    // More options for tavrel-server (--tls-cert ...), and the keys a window built for TLS
    // accepts (none: the authority it was built with decides).
    QStringList serverOptions;
    QList<QByteArray> tlsPins;
    LinkProfile down;
    LinkProfile up;
    quint32 seed = 0;
    int chatIntervalMs = 800; // the other user's pace, give or take a fifth
    // Puts a hop between the link and the server: given the server's port, the port the
    // link is to reach instead (0: the hop failed). None: the link reaches the server.
    std::function<quint16(quint16 serverPort)> hop;
};

TrialResult runTrial(const TrialSettings &settings, const QList<TrialFile> &files);

// Contents for trial files: readable text (with separators and kind letters in it) and PNG
// images of noise, close to the size asked for.
QByteArray trialText(qint64 size, quint32 seed);
QByteArray trialPng(qint64 size, quint32 seed);
