// Received names, taken as the window takes them, and the creation of a file under a free
// name in a scratch folder. Whatever the names, refused ones too: nothing appears outside the
// folder, nothing that was there changes, and the name is stored under a new name unless it
// holds a zero character; an acceptable name under one that fits the file system and is
// acceptable too.
//
// Input: lines. The first is the received name; each further line, up to 16, is an entry in
// the folder before: "/name" a folder, "@name" a link to a file outside the folder, any
// other line a file.

#include "filenames.h"
#include "files.h"
#include "fuzzcheck.h"

#include <QDir>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

namespace {

constexpr int kMaxEntries = 16;
const QByteArray kOutsideContents = "outside";

std::unique_ptr<QTemporaryDir> g_root; // holds "outside" and "scratch"
QString g_scratch;
QString g_outside;

// Every entry of a folder, by name: "@" and a link's target, "/" and a folder's own entries,
// or "f" and a file's contents.
QMap<QString, QByteArray> snapshot(const QString &path)
{
    QMap<QString, QByteArray> entries;
    for (const QFileInfo &info :
         QDir(path).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        entries.insert(info.fileName(), info.isSymLink() ? '@' + info.symLinkTarget().toUtf8()
                                        : info.isDir()
                                            ? '/' + snapshot(info.filePath()).keys().join(u'/').toUtf8()
                                            : 'f' + contents(info.filePath()));
    }
    return entries;
}

// An entry of the folder: '/' an empty folder, '@' a link to "outside", 'f' a file holding
// its own name. Fails when the name is taken.
bool create(const QString &name, char type)
{
    // Not QDir::filePath, which returns a name that starts with ':' as it is.
    QFile file(g_scratch + u'/' + name);
    return type == '/' ? QDir().mkdir(file.fileName())
           : type == '@'
               ? QFile::link(g_outside, file.fileName())
               : file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(name.toUtf8()) >= 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // A RAM disk when there is one: every input creates and removes files.
    const QString base =
        QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_root = std::make_unique<QTemporaryDir>(base + QStringLiteral("/tavrel-fuzz-names-XXXXXX"));
    g_scratch = g_root->filePath(QStringLiteral("scratch"));
    g_outside = g_root->filePath(QStringLiteral("outside"));
    check(g_root->isValid() && QDir().mkdir(g_scratch) && write(g_outside, kOutsideContents));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> lines =
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\n');

    for (qsizetype i = 1; i < lines.size() && i <= kMaxEntries; ++i) {
        const char type =
            lines.at(i).startsWith('/') || lines.at(i).startsWith('@') ? lines.at(i).at(0) : 'f';
        const QString name = tavrel::lastPathComponent(
            tavrel::decodeReceivedName(type == 'f' ? lines.at(i) : lines.at(i).mid(1)));
        // Names that no file system takes are not there before.
        if (!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
            !name.contains(QChar(0)) && name.toUtf8().size() <= tavrel::kMaxFileNameBytes)
            create(name, type);
    }

    QString name = tavrel::lastPathComponent(tavrel::decodeReceivedName(lines.at(0)));
    const bool acceptable = tavrel::isAcceptableFileName(name);
    QMap<QString, QByteArray> expected = snapshot(g_scratch);
    QFile file;
    if (tavrel::createFreshFile(file, name, g_scratch)) {
        check(file.write("new") == 3);
        file.close();
        check(!expected.contains(name));
        // Nothing is stored under a name the system would run, load or read.
        check(tavrel::isHarmlessFileName(name));
        if (acceptable)
            check(tavrel::isAcceptableFileName(name) && name.toUtf8().size() <= tavrel::kMaxFileNameBytes &&
                  tavrel::lastPathComponent(name) == name);
        expected.insert(name, "fnew");
    } else {
        // Only a zero character keeps a name, and its numbered variants, off this file system.
        check(name.contains(QChar(0)));
    }
    check(snapshot(g_scratch) == expected);
    const QMap<QString, QByteArray> root = snapshot(g_root->path());
    check(root.keys() == QStringList({QStringLiteral("outside"), QStringLiteral("scratch")}) &&
          root.value(QStringLiteral("outside")) == 'f' + kOutsideContents);

    // Links are removed, not followed.
    check(QDir(g_scratch).removeRecursively() && QDir().mkdir(g_scratch));
    return 0;
}
