#pragma once

#include "assembler.h"
#include "eventwait.h"
#include "files.h"
#include "widget.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QHostAddress>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

// The window's private state, and its controls by object name.
class WidgetProbe
{
public:
    static QTcpSocket *socket(Widget &w) { return w.socket; }
    static bool canSend(Widget &w) { return w.canSend; }
    static QString userName(Widget &w) { return w.userName; }
    static void setUserName(Widget &w, const QString &name) { w.userName = name; }
    static QFile *fileOut(Widget &w) { return w.fileOut; }
    // The window takes file over, as it owns the file it replaces.
    static void setFileIn(Widget &w, QFile *file) { delete std::exchange(w.fileIn, file); }
    static QStringList serverAddresses(Widget &w) { return w.serverAddresses; }
    static void setServerAddresses(Widget &w, const QStringList &addresses) { w.serverAddresses = addresses; }
    static void setServerPort(Widget &w, quint16 port) { w.serverPort = port; }
    static tavrel::TlsPolicy &tls(Widget &w) { return w.tls; }
    static QGraphicsScene *scene(Widget &w) { return w.scene; }
    static QGraphicsPixmapItem *pixmapItem(Widget &w) { return w.pixmapItem; }
    // A file is being written or an image decoded, or messages held behind one.
    static bool messagesWaiting(Widget &w) { return w.messageInProgress || !w.heldMessages.isEmpty(); }
    static tavrel::MessageAssembler *assembler(Widget &w) { return w.assembler; }
    // As if the file received last had come long ago.
    static void ageLastStoredFile(Widget &w) { w.lastStoredFileRestDeadline = QDeadlineTimer(0); }

    template<typename T = QWidget> static T *control(Widget &w, const char *name)
    {
        return w.findChild<T *>(QLatin1String(name));
    }
    static QPushButton *button(Widget &w, const char *name) { return control<QPushButton>(w, name); }
    static QLineEdit *lineEdit(Widget &w, const char *name) { return control<QLineEdit>(w, name); }
    static QTextEdit *textEdit(Widget &w, const char *name) { return control<QTextEdit>(w, name); }
};

// The file gap of a window whose test waits a gap out without measuring it: long enough for
// the pieces of one message on loopback, short enough not to hold up the tests. tst_core and
// the Windows check measure the real one.
constexpr int kTestFileGapMs = 250;

inline void shortenFileGap(Widget &w)
{
    WidgetProbe::assembler(w)->setQuietGaps(tavrel::kQuietGapMs, kTestFileGapMs);
}

inline QString shown(Widget &w, const char *edit = "textEditRead")
{
    return WidgetProbe::textEdit(w, edit)->toPlainText();
}

inline void type(Widget &w, const char *lineEdit, const QString &text)
{
    WidgetProbe::lineEdit(w, lineEdit)->setText(text);
}

// Runs the event loop until no message waits behind a file being stored or an image being
// decoded. A free-running loop, as the program's: held messages are released one a turn,
// and QTest's waits nap 10 ms between turns.
inline bool messagesHandled(Widget &w, int timeoutMs = 10000)
{
    return waitUntil([&w] { return !WidgetProbe::messagesWaiting(w); }, timeoutMs);
}

// Tests talk to this machine only: a click that could try another address stops the program.
inline void click(Widget &w, const char *name)
{
    if (qstrcmp(name, "btnConnect") == 0) {
        for (const QString &address : WidgetProbe::serverAddresses(w)) {
            if (!QHostAddress(address).isLoopback())
                qFatal("btnConnect would try %s; give the window loopback addresses first",
                       qPrintable(address));
        }
    }
    QTest::mouseClick(WidgetProbe::button(w, name), Qt::LeftButton);
}

inline const char *const kSendButtons[] = {"btnSend", "btnSendFile", "btnReceiveFile"};

inline void setSendButtonsEnabled(Widget &w, bool enabled)
{
    for (const char *name : kSendButtons)
        WidgetProbe::button(w, name)->setEnabled(enabled);
}

// How many of the three send buttons are enabled: 0 or 3, as they go together.
inline int sendButtonsEnabled(Widget &w)
{
    return int(std::count_if(std::begin(kSendButtons), std::end(kSendButtons),
                             [&w](const char *name) { return WidgetProbe::button(w, name)->isEnabled(); }));
}

// Every entry of the working folder, hidden and system ones included.
inline QStringList entries()
{
    return QDir::current().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                     QDir::Name | QDir::IgnoreCase);
}

inline QByteArray encoded(const QImage &image, const char *format = "PNG")
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return buffer.data();
}

inline QByteArray png(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(0x336699);
    return encoded(image);
}

// A PNG whose header declares width x height at the given bit depth and colour type (0 grey,
// 6 RGBA), with rows (each a filter byte and its pixels) as its only data.
inline QByteArray declaredPng(quint32 width, quint32 height, int bitDepth, int colourType,
                              const QByteArray &rows)
{
    const auto crc32 = [](const QByteArray &bytes) {
        quint32 crc = 0xffffffffu;
        for (const char byte : bytes) {
            crc ^= uchar(byte);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    const auto bigEndian = [](quint32 value) {
        const char bytes[] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
        return QByteArray(bytes, 4);
    };
    const auto chunk = [&](const QByteArray &type, const QByteArray &data) {
        return bigEndian(quint32(data.size())) + type + data + bigEndian(crc32(type + data));
    };
    const QByteArray header =
        bigEndian(width) + bigEndian(height) + char(bitDepth) + char(colourType) + QByteArray(3, '\0');
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
           chunk("IDAT", qCompress(rows).mid(4)) + chunk("IEND", QByteArray());
}

// A file or image message as the server sends it, the name's bytes as given.
inline QByteArray fileMessage(const QByteArray &name, const QByteArray &contents)
{
    return "fs," + name + "~+^`&" + contents;
}

inline QByteArray imageMessage(const QByteArray &name, const QByteArray &image,
                               const QByteArray &sender = "bob")
{
    return "fsi" + name + "~+^`&" + sender + "~+^`&" + image;
}
