#include "linktrial.h"

#include "answers.h"
#include "assembler.h"
#include "digest.h"
#include "eventwait.h"
#include "outbox.h"
#include "protocol.h"
#include "serverprocess.h"
#include "testclient.h"
#include "widgetprobe.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <memory>

namespace answers = tavrel::server::answers;

namespace {

const QString kPassword = QStringLiteral("link trial 密码");
const QString kWindowUser = QStringLiteral("alice");
const QString kChatter = QStringLiteral("bob");

// The link in a thread of its own: the window blocks its thread while it connects, for up to
// a second, and the link must carry the TLS handshake meanwhile.
class ProxyThread
{
public:
    ProxyThread()
    {
        m_thread.start();
        m_context.moveToThread(&m_thread);
    }
    ~ProxyThread()
    {
        run([this] { m_proxy.reset(); });
        m_thread.quit();
        m_thread.wait();
    }
    bool start(const TrialSettings &settings, quint16 serverPort)
    {
        bool listening = false;
        run([&] {
            m_proxy = std::make_unique<LinkProxy>();
            m_proxy->setProfiles(settings.down, settings.up);
            m_proxy->setSeed(settings.seed);
            listening = m_proxy->listen(QHostAddress::LocalHost, 0, QHostAddress::LocalHost, serverPort);
            m_port = m_proxy->port();
        });
        return listening;
    }
    quint16 port() const { return m_port; }
    void stop(TrialResult *result)
    {
        run([&] {
            result->down = m_proxy->down();
            result->up = m_proxy->up();
            m_proxy.reset();
        });
    }

private:
    void run(const std::function<void()> &work)
    {
        QMetaObject::invokeMethod(&m_context, work, Qt::BlockingQueuedConnection);
    }

    QThread m_thread;
    QObject m_context;
    std::unique_ptr<LinkProxy> m_proxy;
    quint16 m_port = 0;
};

bool enroll(TestClient &client, const QString &name, const QString &outbox)
{
    const QString email = name + QStringLiteral("@example.org");
    const QString digest = tavrel::saltedDigest(kPassword);
    client.send(tavrel::registrationMessage(name, email, QString(), digest));
    if (!client.take('r', 10000).contains(QStringLiteral("验证码已发送").toUtf8()))
        return false;
    client.send(tavrel::registrationMessage(name, email, mailedCode(outbox, email), digest));
    return client.take('r', 10000) == answers::registrationReply(answers::registered());
}

QString describe(const QByteArray &expected, const QByteArray &actual)
{
    const auto at = std::mismatch(expected.begin(), expected.end(), actual.begin(), actual.end()).first;
    return QStringLiteral("%1 bytes instead of %2, the first difference at %3")
        .arg(actual.size())
        .arg(expected.size())
        .arg(at - expected.begin());
}

} // namespace

QByteArray trialText(qint64 size, quint32 seed)
{
    QRandomGenerator random(seed);
    // Lines that look like the start of messages, and the separator, must not confuse anyone.
    static const QByteArray pieces[] = {"c,", "fs,", "~+^`&", "o,", " ", "\n", "l,", "fsi", "r,"};
    QByteArray text;
    text.reserve(size);
    while (text.size() < size) {
        if (random.bounded(8) == 0)
            text += pieces[random.bounded(int(std::size(pieces)))];
        else
            text += char('a' + random.bounded(26));
    }
    text.truncate(size);
    return text;
}

QByteArray trialPng(qint64 size, quint32 seed)
{
    // Noise does not compress: three bytes a pixel, plus a little.
    const int side = std::max(4, int(std::sqrt(double(size) / 3)));
    QImage image(side, side, QImage::Format_RGB888);
    QRandomGenerator random(seed);
    for (int y = 0; y < side; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < side * 3; ++x)
            line[x] = uchar(random.bounded(256));
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

TrialResult runTrial(const TrialSettings &settings, const QList<TrialFile> &files)
{
    TrialResult result;
    QElapsedTimer clock;
    clock.start();
    QTemporaryDir data;
    QTemporaryDir outgoing;
    const QDir served(data.filePath(QStringLiteral("files")));
    if (!data.isValid() || !outgoing.isValid() || !QDir(data.path()).mkpath(QStringLiteral("files")) ||
        !QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty()) {
        result.faults << QStringLiteral("cannot prepare the folders (is the working folder empty?)");
        return result;
    }
    for (const TrialFile &file : files) {
        QFile out(file.upload ? outgoing.filePath(file.name) : served.filePath(file.name));
        if (!out.open(QIODevice::WriteOnly) || out.write(file.bytes) != file.bytes.size()) {
            result.faults << QStringLiteral("cannot write ") + out.fileName();
            return result;
        }
    }

    QProcess server;
    QString serverLog;
    quint16 port = 0;
    const auto fail = [&](const QString &fault) {
        stopServerProcess(server);
        result.faults << fault;
        return result;
    };
    if (!startServerProcess(
            server, &serverLog, settings.serverBinary,
            QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--data"), data.path()}
                << settings.serverOptions,
            &port))
        return fail(QStringLiteral("tavrel-server did not start: ") + serverLog);
    ProxyThread proxy;
    TestClient chatter(port, nullptr);
    const QString outbox = data.filePath(QStringLiteral("outbox"));
    const quint16 target = settings.hop ? settings.hop(port) : port;
    if (target == 0)
        return fail(QStringLiteral("the hop in front of the server did not start"));
    if (!proxy.start(settings, target) || !chatter.isConnected() || !enroll(chatter, kWindowUser, outbox) ||
        !enroll(chatter, kChatter, outbox))
        return fail(QStringLiteral("cannot set up the accounts: ") + serverLog);
    chatter.send(tavrel::loginMessage(kChatter, tavrel::saltedDigest(kPassword)));
    // The other user's answer before the window blocks this thread to connect: a reader held
    // up longer than the pause after a message takes the next one with it.
    if (chatter.take('l', 10000) != tavrel::loginAnswer(answers::loginOk()))
        return fail(QStringLiteral("the other user cannot log in: ") + serverLog);

    // The window connects as its user has it do, TLS included when it is built for it.
    Widget w;
    WidgetProbe::setServerAddresses(w, {QStringLiteral("127.0.0.1")});
    WidgetProbe::setServerPort(w, proxy.port());
    WidgetProbe::tls(w).pins = settings.tlsPins;
    QElapsedTimer connecting;
    connecting.start();
    click(w, "btnConnect");
    result.connectMs = connecting.elapsed();
    WidgetProbe::lineEdit(w, "lineEditName")->setText(kWindowUser);
    WidgetProbe::lineEdit(w, "lineEditPasswd")->setText(kPassword);
    const auto shows = [&w](const QString &text) { return shown(w).contains(text); };
    const auto *tls = qobject_cast<QSslSocket *>(WidgetProbe::socket(w));
    if (WidgetProbe::socket(w)->state() != QAbstractSocket::ConnectedState || (tls && !tls->isEncrypted()))
        return fail(QStringLiteral("cannot connect and log in: ") + shown(w) + u'\n' + serverLog);
    click(w, "btnLog");
    if (!waitUntil([&] { return sendButtonsEnabled(w) == 3; }, 20000))
        return fail(QStringLiteral("the window did not log in: ") + shown(w));

    // The other user chats at a person's pace all along.
    QRandomGenerator random(settings.seed);
    QStringList chatSent;
    QTimer chat;
    chat.setSingleShot(true);
    QObject::connect(&chat, &QTimer::timeout, &chat, [&] {
        chatSent << QStringLiteral("line %1: 你好, ~+^`& c,fs, the quick brown fox").arg(chatSent.size());
        chatter.send(tavrel::chatMessage(chatSent.last()));
        const int fifth = settings.chatIntervalMs / 5;
        chat.start(settings.chatIntervalMs - fifth + int(random.bounded(2 * fifth + 1)));
    });
    chat.start(0);

    for (const TrialFile &file : files) {
        // Three times what the link takes for the file, and time for stalls and gaps.
        const qint64 rate = (file.upload ? settings.up : settings.down).bitsPerSecond;
        const int timeoutMs = 30000 + int(rate > 0 ? file.bytes.size() * 8 * 3000 / rate : 0);
        if (file.upload) {
            ++result.uploads;
            WidgetProbe::lineEdit(w, "lineEditFile")->setText(outgoing.filePath(file.name));
            click(w, "btnSendFile");
            const QString done = answers::uploaded(kWindowUser, file.name, file.bytes.size());
            if (!waitUntil([&] { return shows(done); }, timeoutMs))
                result.faults << QStringLiteral("upload %1: not announced").arg(file.name);
        } else {
            ++result.downloads;
            WidgetProbe::lineEdit(w, "lineEditFile2")->setText(file.name);
            click(w, "btnReceiveFile");
            const QString done = QStringLiteral("文件：") + file.name;
            if (!waitUntil([&] { return shows(done + u'\n') || shown(w).endsWith(done); }, timeoutMs))
                result.faults << QStringLiteral("download %1: not announced").arg(file.name);
        }
        // A person's pause before the next request.
        const int pauseMs = 300 + int(random.bounded(900));
        QElapsedTimer pause;
        pause.start();
        waitUntil([&] { return pause.elapsed() >= pauseMs; }, pauseMs + 100);
    }
    chat.stop();
    // The last chat line, and anything that would still arrive late, before looking.
    const QString lastLine = kChatter + QStringLiteral(": ") + chatSent.value(chatSent.size() - 1);
    waitUntil([&] { return shows(lastLine); }, 15000);
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 2 * tavrel::kFileQuietGapMs; }, 10000);

    // Every stored file whole, under its own name, and nothing else stored.
    QSet<QString> expected;
    for (const TrialFile &file : files) {
        const QByteArray stored = contents(file.upload ? served.filePath(file.name) : file.name);
        if (!file.upload)
            expected.insert(file.name);
        if (stored == file.bytes)
            ++(file.upload ? result.uploadsIntact : result.downloadsIntact);
        else
            result.faults << QStringLiteral("%1 %2: %3")
                                 .arg(file.upload ? QStringLiteral("upload") : QStringLiteral("download"),
                                      file.name, describe(file.bytes, stored));
    }
    for (const QString &name :
         QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (!expected.contains(name))
            result.faults << QStringLiteral("stray file stored: ") + name;
    }
    for (const QString &name : served.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (!std::any_of(files.begin(), files.end(), [&](const TrialFile &f) { return f.name == name; }))
            result.faults << QStringLiteral("stray file on the server: ") + name;
    }
    // Every chat line on a line of its own, once.
    const QStringList lines = shown(w).split(u'\n');
    for (const QString &sent : std::as_const(chatSent)) {
        ++result.chatLines;
        // As the server relays it: the separator in it neutralised.
        const QString line = tavrel::server::relayedChat(kChatter, sent);
        const qsizetype count = lines.count(line);
        if (count == 1)
            ++result.chatLinesIntact;
        else
            result.faults
                << QStringLiteral("chat line shown %1 times on a line of its own: %2").arg(count).arg(line);
    }
    for (const QString &line : lines) {
        if (line.startsWith(QStringLiteral("收到的文件不完整")) ||
            line.startsWith(QStringLiteral("图片无法显示")) || line.startsWith(QStringLiteral("消息过大")))
            result.faults << QStringLiteral("the window says: ") + line;
    }
    proxy.stop(&result);
    chatter.socket.abort();
    WidgetProbe::socket(w)->abort();
    stopServerProcess(server);
    result.seconds = clock.elapsed() / 1000.0;
    return result;
}
