#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDeadlineTimer>
#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "net/tls.h"
#include "protocol.h"

#include <functional>

QT_BEGIN_NAMESPACE
namespace Ui {
class Widget;
}
class QFile;
class QGraphicsPixmapItem;
class QGraphicsScene;
class QTcpSocket;
class QThreadPool;
QT_END_NAMESPACE

namespace tavrel {
class MessageAssembler;
}

// The chat window. It owns every piece of client state; its slots read the controls, call
// into the core library and write the controls. The bodies live in the folder of their
// subsystem: src/net, src/account, src/chat and src/files.
class Widget : public QWidget
{
    Q_OBJECT

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // src/account
    QString passwdDigest(const QString &text);

    // src/files
    QString fileMimeType(const QString &path);
    bool openFileForRead();
    bool sendTextFile(const QString &path);
    bool saveFile(QString &name, const QByteArray &data);
    // Stores data, which lies within message, as saveFile does, and then calls
    // stored(whether it was stored, the name it was stored under). A large file is written
    // on a pool thread and stored is called later, never once the window is gone; nothing
    // else may use fileIn meanwhile.
    void storeFile(const QString &name, const QByteArray &message, QByteArrayView data,
                   std::function<void(bool, const QString &)> stored);
    // Decodes the image at path off the GUI thread, then adds it to scene and calls
    // shown(true), or calls shown(false) when it does not decode. Never calls it once the
    // window is gone.
    void showImage(const QString &path, std::function<void(bool)> shown);
    void openFolder(const QString &path);
    // Moves the working folder away from the program's own, saying so in the message box.
    void leaveProgramFolder();

    // src/net: acts on one whole message from the server. False only when a file or image
    // message is refused for its name. While a received file is being written or an image
    // decoded, the messages after it wait for it (and count as accepted), so they show in
    // their order.
    bool handleMessage(const QByteArray &message);

    // What writing a received file came to: the bytes written and, when it failed, why.
    struct StoreResult
    {
        qint64 written = 0;
        QString failure;
    };

public slots:
    void connectToServer();
    bool ReadInformation();

private slots:
    void on_btnSend_clicked();
    void on_btnConnect_clicked();
    void on_btnReg_clicked();
    void on_btnLog_clicked();
    void on_btnSendFile_clicked();
    void on_btnReceiveFile_clicked();
    void on_btnOpenFolder_clicked();

private:
    friend class WidgetProbe; // lets tests read state that the window does not show

    void setSendButtonsEnabled(bool enabled);
    // Bounds the paragraphs that the message box and the online-user box keep.
    void boundBoxes();
    void dropOversizedMessage(qint64 bytes);
    bool dispatchMessage(const QByteArray &message);
    void releaseHeldMessages();
    // Shows the lines and tabs for a received file once its store has ended; storedName is
    // empty when it was not stored. data is the file's contents, within a message the caller
    // keeps.
    void showReceivedFile(bool image, const QString &receivedName, const QString &storedName,
                          const QString &senderText, QByteArrayView data);
    // Ends the handling of a message that went on off the GUI thread.
    void finishMessage();
    // src/files: the halves of saveFile around the write.
    bool createStoredFile(QString &name, qint64 size);
    // False, with a notice, when storing size bytes would leave less free disk than a floor.
    bool leavesDiskFloor(const QString &name, qint64 size);
    bool finishStoredFile(const QString &name, qint64 size, const StoreResult &result);
    // src/net: bytes of no known kind; right after a file they are what a long stall cut off.
    void handleStrayBytes(const QByteArray &message);
    void noteStoredFile(const QString &storedName);
    void dropCutMessage(const QByteArray &partial);
    // src/net: the servers that the connect button tries, in order.
    static QStringList defaultServerAddresses();
    // src/net: connects socket, a QSslSocket, to the server at address and finishes the TLS
    // handshake within the connect wait. On failure closes it and, when the server answered,
    // says why in one line.
    bool connectEncrypted(const QString &address);

    Ui::Widget *ui;
    QString passwdSalt;
    bool canSend;
    QString userName;
    QTcpSocket *socket;
    QFile *fileOut;
    QFile *fileIn;
    QByteArray separator;
    QGraphicsScene *scene;
    QGraphicsPixmapItem *pixmapItem = nullptr;
    // The images in scene, the oldest first; src/files/image.cpp bounds them.
    QList<QGraphicsPixmapItem *> sceneImages;
    // Gathers the reads of socket into whole messages.
    tavrel::MessageAssembler *assembler;
    // Set while a received file is written or an image decoded; the messages that came
    // meanwhile, in order, until they are handled.
    bool messageInProgress = false;
    QList<QByteArray> heldMessages;
    qint64 heldBytes = 0;
    // The message box has lost its oldest paragraphs to the bound, and said so.
    bool boxTrimmed = false;
    bool releasingHeldMessage = false;
    // Writes large received files, one at a time, through fileIn. ~Widget waits for it
    // before fileIn goes; it never waits for the image decoding in the global pool.
    QThreadPool *storePool;
    // The file or image stored from the message handled last, while bytes that follow it may
    // still be its rest; empty once another message came or the deadline passed.
    QString lastStoredFile;
    QDeadlineTimer lastStoredFileRestDeadline;
    bool lastStoredFileReportedCut = false;
    // Kept rather than built at each click, so that a test can put loopback addresses here
    // whatever addresses the build was given.
    QStringList serverAddresses = defaultServerAddresses();
    quint16 serverPort = tavrel::kServerPort;
    // How the connection is secured, as the build chose; socket is a QSslSocket when it is
    // enabled. The rest may change, as the addresses may, before a click.
    tavrel::TlsPolicy tls = tavrel::builtTlsPolicy();
};
