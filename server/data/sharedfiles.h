#pragma once

#include "messagetail.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>

namespace tavrel::server {

// Largest file the server hands out. Operators may put bigger files into the folder; they
// are refused rather than sent for minutes to every client that asks.
inline constexpr qint64 kMaxServedFile = 16 * 1024 * 1024;
// Longest name, in UTF-8 bytes, a client accepts in a file or image message.
inline constexpr int kMaxServedNameBytes = 197;

// A file a worker opened, read by the thread that sends it; closed with its last owner.
class OpenFile : public MessageTail
{
public:
    OpenFile(int fd, qint64 size);
    ~OpenFile() override;
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
    qint64 size() const override { return m_size; }
    qint64 read(char *data, qint64 max) override;

private:
    int m_fd;
    qint64 m_size;
};

// Writes size bytes at data to the descriptor fd; returns what it wrote or -1 with errno
// set. Tests put a failing or stalling one in place of the system's write().
using FileWriter = std::function<qint64(int fd, const char *data, qint64 size)>;

// The shared files folder: what users upload and what the operator puts there. Nothing
// outside it is ever read or written. Thread-safe: it runs on the file workers.
//
// An upload appears under its name only once it is complete and on disk: it is written
// to a file without a name (or, where the system has no such thing, under a temporary
// name that is never served), synced, and then linked to a free name, which replaces
// nothing, and the folder is synced. A crash at any point leaves either the whole file
// or nothing.
class FileStore
{
public:
    struct Limits
    {
        qint64 minFreeBytes = 0;
        int minFreePercent = 0;
    };
    FileStore(const QString &dir, const Limits &limits, FileWriter writer = FileWriter());

    // Removes the temporary files an interrupted upload may have left.
    void removeLeftovers() const;

    enum class Refusal { None, BadName, TooBig, NotText, NoSpace, Failed };
    // The text that tells the uploader.

    // An upload written and synced, not yet under any name. Dropping it drops the bytes.
    class Prepared
    {
    public:
        ~Prepared();
        Prepared(const Prepared &) = delete;
        Prepared &operator=(const Prepared &) = delete;
        QString name() const { return m_name; } // the name sent, reduced to its last part
        qint64 size() const { return m_size; }
        QByteArray sha256Hex() const { return m_sha256Hex; }

    private:
        friend class FileStore;
        Prepared() = default;
        int m_fd = -1;
        QString m_tempPath; // without an unnamed file
        QString m_name;
        qint64 m_size = 0;
        QByteArray m_sha256Hex;
    };
    std::unique_ptr<Prepared> prepare(const QString &path, const QByteArray &contents,
                                      Refusal *refusal) const;

    // The checks of every upload, wherever it is kept; name comes back as the name sent,
    // reduced to its last part.
    static Refusal check(const QString &path, const QByteArray &contents, QString *name);
    // Whether the folder has an entry of this name: an upload kept in a shared database
    // takes a name of its own rather than one of the operator's files.
    bool contains(const QString &name) const;
    // Whether these first bytes of a file are those of a raster image every client can show
    // and nothing else can run or load: PNG, JPEG, GIF, BMP or WebP, by their magic bytes.
    // Formats of text (SVG, XPM) never count: they say what else to load and do.
    static bool isRasterImage(const QByteArray &head);
    // Links the prepared file to its name or the first free numbered variant and syncs the
    // folder. storedName comes back as the name used.
    Refusal publish(Prepared &prepared, QString *storedName) const;
    // Takes back a file just published, when its record could not be kept.
    void withdraw(const QString &storedName) const;

    // A requested file, open, with what is known of it; its bytes stay on disk until they
    // are sent. The open file keeps what was there when it was opened, even if the name is
    // taken by another file meanwhile.
    struct Served
    {
        enum Status { Ok, BadName, NotFound, TooBig } status = NotFound;
        QString name;
        std::shared_ptr<OpenFile> file;
        bool image = false;
        QByteArray sha256Hex; // of an image only: it tells whether a user uploaded it
    };
    Served open(const QString &requested) const;

    // The name a request or an upload for path comes to: its last part, when that is a name
    // every client can receive and show. False for every other.
    static bool isServableName(const QString &path, QString *name);

private:
    bool hasRoom() const;

    QString m_dir;
    Limits m_limits;
    FileWriter m_writer;
};

} // namespace tavrel::server
