#include "filenames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace tavrel {

QString lastPathComponent(const QString &name)
{
    const qsizetype cut = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    return cut < 0 ? name : name.mid(cut + 1);
}

namespace {

bool isWindowsDeviceName(const QString &name)
{
    // "NUL.txt" opens the device too, so only the part before the first dot counts.
    const QString stem = name.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QStringList plain = {QStringLiteral("CON"),    QStringLiteral("PRN"),
                                      QStringLiteral("AUX"),    QStringLiteral("NUL"),
                                      QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
    if (plain.contains(stem))
        return true;
    // Windows also takes the superscript digits ¹ ² ³ for ports, and reserves port 0.
    if (stem.size() == 4 && (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT"))))
        return (stem.at(3) >= QLatin1Char('0') && stem.at(3) <= QLatin1Char('9')) ||
               QStringView(u"\u00b9\u00b2\u00b3").contains(stem.at(3));
    return false;
}

} // namespace

bool isAcceptableFileName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u"<>:\"|?*/\\").contains(c))
            return false;
    }
    return !isWindowsDeviceName(name);
}

QString numberedVariant(const QString &name, int k)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString base = dot < 0 ? name : name.left(dot);
    const QString extension = dot < 0 ? name : name.mid(dot + 1);
    return base + QString::number(k) + QLatin1Char('.') + extension;
}

namespace {

// A link whose target is missing does not "exist" for QFileInfo::exists, yet the name is
// taken all the same.
bool isTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

// Windows may store a file under another name than the one asked for: it drops the dots
// (and on Windows itself the blanks) that end a name, so "notes." is stored as "notes".
// The name handed back is the one the folder shows, as the file system reports it.
QString nameAsStored(const QString &path, const QString &name)
{
#ifdef Q_OS_WIN
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()), &found);
    if (search == INVALID_HANDLE_VALUE)
        return name;
    FindClose(search);
    return name.left(name.size() - lastPathComponent(name).size()) + QString::fromWCharArray(found.cFileName);
#else
    Q_UNUSED(path);
    return name;
#endif
}

} // namespace

bool placeUnderFreeName(QString &name, const std::function<Placement(const QString &)> &place)
{
    const QString received = name;
    // Only digits and a dot are added, so the variants of an acceptable name can fail the
    // test only as device names, and only for a few numbers.
    const bool receivedAcceptable = isAcceptableFileName(lastPathComponent(received));
    for (int k = 2;; ++k) {
        switch (place(name)) {
        case Placement::Placed:
            return true;
        case Placement::Failed:
            return false;
        case Placement::Taken:
            break;
        }
        // A number can turn an acceptable name into a device name ("COM" -> "COM2.COM",
        // "lpt.txt" -> "lpt2.txt"); such variants are passed over.
        name = numberedVariant(received, k);
        while (receivedAcceptable && !isAcceptableFileName(lastPathComponent(name)))
            name = numberedVariant(received, ++k);
    }
}

bool createFreshFile(QFile &file, QString &name, const QString &dir)
{
    const auto pathOf = [&dir](const QString &candidate) {
        return dir.isEmpty() ? candidate : QDir(dir).filePath(candidate);
    };
    if (file.isOpen())
        file.close();
    const bool placed = placeUnderFreeName(name, [&](const QString &candidate) {
        // The exclusive creation is the test for a free name: it cannot be raced, and a
        // free name, the usual case, costs no look-up of its own.
        file.setFileName(pathOf(candidate));
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return Placement::Placed;
        // A failure under a free name would repeat for every variant.
        return isTaken(pathOf(candidate)) ? Placement::Taken : Placement::Failed;
    });
    if (placed)
        name = nameAsStored(file.fileName(), name);
    return placed;
}

} // namespace tavrel
