#pragma once

#include <QByteArray>
#include <QString>

namespace tavrel::server {

// Largest file the server hands out. Operators may put bigger files into the folder; they
// are refused rather than held in memory for every client that asks.
inline constexpr qint64 kMaxServedFile = 16 * 1024 * 1024;
// Longest name, in UTF-8 bytes, a client accepts in a file or image message.
inline constexpr int kMaxServedNameBytes = 197;

// The shared files folder: what users upload and what the operator puts there. Nothing
// outside it is ever read or written.
class FileStore
{
public:
    explicit FileStore(const QString &dir);
    QString dir() const { return m_dir; }

    struct Saved
    {
        bool ok = false;
        QString refusal;    // for the uploader, when !ok
        QString storedName; // a free numbered variant of the name sent
        QByteArray sha256Hex;
    };
    Saved save(const QString &path, const QByteArray &contents) const;

    struct Served
    {
        enum Status { Ok, BadName, NotFound, TooBig } status = NotFound;
        QString name;
        QByteArray bytes;
        bool image = false;
        QByteArray sha256Hex;
    };
    // Thread-safe: runs on worker threads.
    Served read(const QString &requested) const;

private:
    QString m_dir;
};

} // namespace tavrel::server
