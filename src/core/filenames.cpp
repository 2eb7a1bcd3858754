#include "filenames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace tavrel {

namespace {

// Length of the well-formed UTF-8 sequence that starts at bytes[at], 0 when there is none
// (the table of well-formed byte sequences in the Unicode standard, chapter 3).
int utf8SequenceLength(const QByteArray &bytes, qsizetype at)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? uchar(bytes.at(i)) : 0u; };
    const auto continuation = [&](qsizetype i, uint low = 0x80, uint high = 0xbf) {
        return byte(i) >= low && byte(i) <= high;
    };
    const uint lead = byte(at);
    if (lead < 0x80)
        return 1;
    if (lead >= 0xc2 && lead <= 0xdf)
        return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xe0 && lead <= 0xef) {
        // No overlong forms below E0 A0, no surrogates from ED A0.
        const uint low = lead == 0xe0 ? 0xa0 : 0x80;
        const uint high = lead == 0xed ? 0x9f : 0xbf;
        return continuation(at + 1, low, high) && continuation(at + 2) ? 3 : 0;
    }
    if (lead >= 0xf0 && lead <= 0xf4) {
        // No overlong forms below F0 90, nothing above U+10FFFF from F4 90.
        const uint low = lead == 0xf0 ? 0x90 : 0x80;
        const uint high = lead == 0xf4 ? 0x8f : 0xbf;
        return continuation(at + 1, low, high) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
    }
    return 0;
}

} // namespace

QString decodeReceivedName(const QByteArray &bytes)
{
    QString name;
    qsizetype wellFormedFrom = 0;
    qsizetype at = 0;
    while (at < bytes.size()) {
        if (const int length = utf8SequenceLength(bytes, at)) {
            at += length;
            continue;
        }
        name += QString::fromUtf8(bytes.constData() + wellFormedFrom, at - wellFormedFrom);
        name += QChar(QChar::ReplacementCharacter);
        while (at < bytes.size() && utf8SequenceLength(bytes, at) == 0)
            ++at;
        wellFormedFrom = at;
    }
    name += QString::fromUtf8(bytes.constData() + wellFormedFrom, at - wellFormedFrom);
    return name;
}

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
    if (stem.size() == 4 &&
        (stem.startsWith(QLatin1String("COM")) || stem.startsWith(QLatin1String("LPT")))) {
        // Windows takes the superscript digits for ports too, and some versions COM0 and LPT0.
        const QChar digit = stem.at(3);
        return (digit >= QLatin1Char('0') && digit <= QLatin1Char('9')) ||
               QStringView(u"¹²³").contains(digit);
    }
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

namespace {

// The types that a system runs or loads from a folder it reads, lower case. Windows runs the
// PATHEXT set (com, exe, bat, cmd, vbs, vbe, js, jse, wsf, wsh, msc) and the other script,
// installer, help and shortcut types when they are opened; it loads a dll, ocx, drv, sys or
// cpl that lies beside a program (the DLL search order starts in the program's folder); and
// Explorer reads url, scf, lnk, library-ms and searchconnector-ms files as soon as it shows
// the folder, following a remote icon path and handing the user's NTLM hash to its host.
// Linux desktops run *.desktop files.
bool isRunnableType(const QString &type)
{
    static const QSet<QString> types = {
        QStringLiteral("appref-ms"),
        QStringLiteral("application"),
        QStringLiteral("bat"),
        QStringLiteral("chm"),
        QStringLiteral("cmd"),
        QStringLiteral("com"),
        QStringLiteral("cpl"),
        QStringLiteral("desktop"),
        QStringLiteral("diagcab"),
        QStringLiteral("dll"),
        QStringLiteral("drv"),
        QStringLiteral("exe"),
        QStringLiteral("gadget"),
        QStringLiteral("hlp"),
        QStringLiteral("hta"),
        QStringLiteral("inf"),
        QStringLiteral("jar"),
        QStringLiteral("js"),
        QStringLiteral("jse"),
        QStringLiteral("library-ms"),
        QStringLiteral("lnk"),
        QStringLiteral("msc"),
        QStringLiteral("msh"),
        QStringLiteral("msh1"),
        QStringLiteral("msh2"),
        QStringLiteral("msi"),
        QStringLiteral("msp"),
        QStringLiteral("mst"),
        QStringLiteral("ocx"),
        QStringLiteral("pif"),
        QStringLiteral("ps1"),
        QStringLiteral("ps1xml"),
        QStringLiteral("ps2"),
        QStringLiteral("ps2xml"),
        QStringLiteral("psc1"),
        QStringLiteral("psc2"),
        QStringLiteral("psd1"),
        QStringLiteral("psm1"),
        QStringLiteral("reg"),
        QStringLiteral("scf"),
        QStringLiteral("scr"),
        QStringLiteral("sct"),
        QStringLiteral("searchconnector-ms"),
        QStringLiteral("settingcontent-ms"),
        QStringLiteral("shb"),
        QStringLiteral("shs"),
        QStringLiteral("sys"),
        QStringLiteral("theme"),
        QStringLiteral("themepack"),
        QStringLiteral("url"),
        QStringLiteral("vb"),
        QStringLiteral("vbe"),
        QStringLiteral("vbs"),
        QStringLiteral("website"),
        QStringLiteral("ws"),
        QStringLiteral("wsc"),
        QStringLiteral("wsf"),
        QStringLiteral("wsh"),
    };
    return types.contains(type.toLower());
}

// name without the dots and blanks that end it, which Windows drops when it stores a file.
QStringView withoutTrailingDotsAndBlanks(QStringView name)
{
    qsizetype end = name.size();
    while (end > 0 && (name.at(end - 1) == QLatin1Char('.') || name.at(end - 1) == QLatin1Char(' ')))
        --end;
    return name.left(end);
}

bool hasRunnableType(QStringView name)
{
    const QStringView stored = withoutTrailingDotsAndBlanks(name);
    const qsizetype dot = stored.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && isRunnableType(stored.mid(dot + 1).toString());
}

} // namespace

bool isHarmlessFileName(const QString &name)
{
    if (name.startsWith(QLatin1Char('.')) || hasRunnableType(name))
        return false;
    // Qt reads a qt.conf beside the program (it may move the plugin path anywhere), Explorer
    // a desktop.ini in every folder it shows, and Windows an autorun.inf on a drive's root.
    const QString stored = withoutTrailingDotsAndBlanks(name).toString().toLower();
    return stored != QLatin1String("qt.conf") && stored != QLatin1String("desktop.ini") &&
           stored != QLatin1String("autorun.inf");
}

namespace {

int utf8Size(QStringView text, qsizetype at)
{
    const char16_t c = text.at(at).unicode();
    if (c < 0x80)
        return 1;
    if (c < 0x800)
        return 2;
    // A pair of surrogates takes four bytes for the two, a lone one three as U+FFFD.
    if (QChar::isHighSurrogate(c) && at + 1 < text.size() && text.at(at + 1).isLowSurrogate())
        return 4;
    return QChar::isLowSurrogate(c) && at > 0 && text.at(at - 1).isHighSurrogate() ? 0 : 3;
}

qsizetype utf8Size(QStringView text)
{
    qsizetype size = 0;
    for (qsizetype i = 0; i < text.size(); ++i)
        size += utf8Size(text, i);
    return size;
}

// The longest start of text that takes at most bytes of UTF-8 and ends between characters.
QStringView startWithin(QStringView text, qsizetype bytes)
{
    qsizetype end = 0;
    while (end < text.size()) {
        const int size = utf8Size(text, end);
        if (size > bytes)
            break;
        bytes -= size;
        end += size == 4 ? 2 : 1;
    }
    return text.left(end);
}

// stem + middle + tail, the stem shortened as far as the whole must to fit. Where even the
// tail alone is too long (only in names of hundreds of bytes) the tail is cut instead.
QString fitted(QStringView stem, const QString &middle, QStringView tail)
{
    const qsizetype room = kMaxFileNameBytes - utf8Size(middle) - utf8Size(tail);
    if (room >= 0)
        return startWithin(stem, room).toString() + middle + tail.toString();
    return middle + startWithin(tail, kMaxFileNameBytes - utf8Size(middle)).toString();
}

} // namespace

QString fittedFileName(const QString &name)
{
    if (utf8Size(name) <= kMaxFileNameBytes)
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    // A "suffix" of hundreds of bytes is no file type worth keeping.
    if (dot < 0 || utf8Size(QStringView(name).mid(dot)) > kMaxFileNameBytes)
        return startWithin(name, kMaxFileNameBytes).toString();
    return fitted(QStringView(name).left(dot), QString(), QStringView(name).mid(dot));
}

QString numberedVariant(const QString &name, int k)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QStringView base = dot < 0 ? QStringView(name) : QStringView(name).left(dot);
    const QString tail = QLatin1Char('.') + (dot < 0 ? name : name.mid(dot + 1));
    return fitted(base, QString::number(k), tail);
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

namespace {

// Offers candidate(k) for k = 1, 2, ... to place until it places one or fails, passing over
// what accepted(candidate) refuses; see placeUnderFreeName.
bool placeCandidates(QString &name, const std::function<QString(int)> &candidate,
                     const std::function<bool(const QString &)> &accepted,
                     const std::function<Placement(const QString &)> &place)
{
    // The system reads a name only up to a zero character: the file would be created under
    // a shorter name than the one reported.
    if (name.contains(QChar(0)))
        return false;
    for (int k = 1;; ++k) {
        name = candidate(k);
        if (!accepted(name))
            continue;
        switch (place(name)) {
        case Placement::Placed:
            return true;
        case Placement::Failed:
            return false;
        case Placement::Taken:
            break;
        }
    }
}

// Candidate k of a received name under which it may be stored harmlessly (see
// createFreshFile). Only candidate 1 of a name that begins with a dot, and those of "qt.conf"
// and "desktop.ini", which hold no digits, can still fail isHarmlessFileName.
QString harmlessCandidate(const QString &received, int k)
{
    QString candidate = k == 1 ? fittedFileName(received) : numberedVariant(received, k);
    if (k > 1) {
        while (candidate.startsWith(QLatin1Char('.')))
            candidate.remove(0, 1);
    }
    if (hasRunnableType(lastPathComponent(candidate)))
        candidate = fittedFileName(withoutTrailingDotsAndBlanks(candidate).toString() + QLatin1Char('_'));
    return candidate;
}

} // namespace

bool placeUnderFreeName(QString &name, const std::function<Placement(const QString &)> &place)
{
    const QString received = name;
    // Variants add digits and a dot and may shorten the stem, so those of an acceptable name
    // can fail the test only as device names, and only for a few numbers. A number can turn
    // an acceptable name into a device name ("COM" -> "COM2.COM", "lpt.txt" -> "lpt2.txt"),
    // and so can shortening ("NULL.<250 bytes>" -> "NUL.<...>"); such names are passed over.
    const bool receivedAcceptable = isAcceptableFileName(lastPathComponent(received));
    return placeCandidates(
        name, [&](int k) { return k == 1 ? fittedFileName(received) : numberedVariant(received, k); },
        [&](const QString &candidate) {
            return !receivedAcceptable || isAcceptableFileName(lastPathComponent(candidate));
        },
        place);
}

bool createFreshFile(QFile &file, QString &name, const QString &dir)
{
    // Joined by hand: QDir::filePath takes a name that starts with ':' for a resource path and
    // returns it as it is, outside dir.
    const auto pathOf = [&dir](const QString &candidate) {
        return dir.isEmpty() ? candidate : dir + QLatin1Char('/') + candidate;
    };
    if (file.isOpen())
        file.close();
    const QString received = name;
    const bool receivedAcceptable = isAcceptableFileName(lastPathComponent(received));
    const auto accepted = [&](const QString &candidate) {
        const QString last = lastPathComponent(candidate);
        return isHarmlessFileName(last) && (!receivedAcceptable || isAcceptableFileName(last));
    };
    const bool placed = placeCandidates(
        name, [&](int k) { return harmlessCandidate(received, k); }, accepted,
        [&](const QString &candidate) {
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
