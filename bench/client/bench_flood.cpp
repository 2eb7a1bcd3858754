// The peak memory of the real tavrel while a peer floods it: 50 large images in a row, or
// 200,000 chat lines. The program that ships runs with a library preloaded into it
// (tests/app/closehook.cpp) that connects it to this bench on loopback and, once the bench
// has closed the connection and the message box has been still for 2 s, reports the peak
// resident set (VmHWM), the paragraphs of the message box and the images in the scene.
//
// Usage: bench-flood [images|chat]... (both by default). Messages are sent with the quiet
// gaps between them that tell them apart: 1.1 s after an image, 40 ms after a chat message.
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

QByteArray largePng()
{
    // 12 Mpx, a camera's photo: 48 MB once decoded for display.
    QImage image(4000, 3000, QImage::Format_RGB32);
    image.fill(0x336699);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

struct Flood
{
    QByteArrayList messages;
    int gapMs;
};

Flood flood(const QByteArray &kind)
{
    Flood f;
    if (kind == "images") {
        const QByteArray png = largePng();
        for (int i = 0; i < 50; ++i)
            f.messages << "fsiphoto.png~+^`&bob~+^`&" + png;
        f.gapMs = 1100;
    } else {
        // 200 messages of 1000 lines each: the quiet gap lets 25 messages a second through.
        for (int m = 0; m < 200; ++m) {
            QByteArray text = "c,";
            for (int i = 0; i < 1000; ++i)
                text += (i ? "\n" : "") + QByteArray("alice: line ") + QByteArray::number(m * 1000 + i);
            f.messages << text;
        }
        f.gapMs = 40;
    }
    return f;
}

int run(const QByteArray &kind)
{
    const Flood f = flood(kind);
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        qFatal("cannot listen on loopback");
    QTemporaryDir work;
    QDir(work.path()).mkdir("in");
    QProcess tavrel;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_LOGGING_RULES", "*.debug=false");
    env.insert("LD_PRELOAD", TAVREL_CLOSE_HOOK);
    env.insert("TAVREL_CLOSE_WHEN", "drained");
    env.insert("TAVREL_HOOK_PORT", QString::number(server.serverPort()));
    env.insert("TAVREL_HOOK_REPORT", work.filePath("report"));
    tavrel.setProcessEnvironment(env);
    tavrel.setWorkingDirectory(work.filePath("in"));
    tavrel.setStandardOutputFile(QProcess::nullDevice());
    tavrel.setStandardErrorFile(QProcess::nullDevice());
    tavrel.start(TAVREL_BINARY, QStringList());
    if (!server.waitForNewConnection(30000))
        qFatal("tavrel did not connect");
    QTcpSocket *peer = server.nextPendingConnection();
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray &message : f.messages) {
        peer->write(message);
        while (peer->bytesToWrite() > 0 && peer->waitForBytesWritten(30000)) {
        }
        QThread::msleep(f.gapMs);
    }
    peer->disconnectFromHost();
    if (peer->state() != QAbstractSocket::UnconnectedState)
        peer->waitForDisconnected(10000);
    if (!tavrel.waitForFinished(600000))
        qFatal("tavrel did not finish");
    const double seconds = clock.elapsed() / 1000.0;

    QFile report(work.filePath("report"));
    if (!report.open(QIODevice::ReadOnly))
        qFatal("no report");
    const QList<QByteArray> lines = report.readAll().split('\n');
    const int stored = int(QDir(work.filePath("in")).entryList(QDir::Files).size());
    const int received = int(lines.mid(4).count("收到bob 发来的文件：photo.png") +
                             std::count_if(lines.begin() + 4, lines.end(), [](const QByteArray &line) {
                                 return line.startsWith("收到bob 发来的文件：photo.png, 并改名为：");
                             }));
    std::printf("%-6s %4lld messages in %6.1f s: peak RSS %7.1f MiB, %6s paragraphs, %s scene images, "
                "%d files stored, %d received lines, last line: %s\n",
                kind.constData(), qlonglong(f.messages.size()), seconds, lines.value(1).toDouble() / 1024,
                lines.value(2).constData(), lines.value(3).constData(), stored, received,
                lines.last().left(60).constData());
    return tavrel.exitCode();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QByteArrayList kinds;
    for (int i = 1; i < argc; ++i)
        kinds << argv[i];
    if (kinds.isEmpty())
        kinds = {"images", "chat"};
    int status = 0;
    for (const QByteArray &kind : kinds)
        status |= run(kind);
    return status;
}
