#pragma once

// Names under which received files are stored. A peer chooses the name, so it is reduced
// to its last path component and refused when no file system could hold it safely; the
// same rules hold on every platform, so a name stored on one works on all.

#include <QByteArray>
#include <QString>

#include <functional>

class QFile;

namespace tavrel {

// Longest file name, in bytes of UTF-8, that the usual file systems hold: 255 bytes on
// Linux and macOS, 255 UTF-16 units on Windows, and no text takes fewer bytes of UTF-8
// than it has UTF-16 units.
inline constexpr int kMaxFileNameBytes = 255;

// A received name as text. Each run of bytes that is not UTF-8 becomes a single U+FFFD:
// QString::fromUtf8 gives one per byte, so a 197-byte name of such bytes would grow to 591
// bytes of UTF-8, longer than any file system takes.
QString decodeReceivedName(const QByteArray &bytes);

// The part after the last '/' or '\\'.
QString lastPathComponent(const QString &name);

// False for "", ".", "..", names with control characters or any of <>:"|?*, and the
// Windows device names (CON, PRN, AUX, NUL, COM0-9, LPT0-9, COM and LPT with ¹ ² ³, CONIN$,
// CONOUT$), bare or with an extension.
bool isAcceptableFileName(const QString &name);

// False for names that the system reading the folder would run, load or take as its
// configuration: names that begin with a dot (a login shell reads ~/.bash_profile, git
// ~/.gitconfig), the Windows types that run or load when opened, shown or placed beside a
// program (the PATHEXT set, .dll, .lnk, .url, .scf and more), "*.desktop", and "qt.conf",
// "desktop.ini" and "autorun.inf". Case does not matter, nor the dots and blanks that end a
// name, since Windows drops them ("version.dll. " is stored as "version.dll").
bool isHarmlessFileName(const QString &name);

// name when it fits kMaxFileNameBytes; otherwise its stem, the part before the last '.',
// shortened until it fits, so that the suffix stays.
QString fittedFileName(const QString &name);

// Numbered variant k (k >= 2) of name: base + k + "." + extension, split at the last '.'.
// A name without a dot has the whole name as base and as extension ("notes" -> "notes2.notes").
// The base is shortened as far as the variant needs to fit kMaxFileNameBytes.
QString numberedVariant(const QString &name, int k);

enum class Placement {
    Placed, // the candidate is now ours
    Taken,  // something else has the candidate: try the next
    Failed, // give up
};

// Offers fittedFileName(name), then its numbered variants k = 2, 3, ..., to place until it
// places one or fails. Variants that would be device names are passed over, and a name with
// a zero character is refused. name comes back as the name placed or, on failure, the name
// last offered.
bool placeUnderFreeName(QString &name, const std::function<Placement(const QString &)> &place);

// Creates a new file under fittedFileName(name) in dir (empty: the working directory), or,
// when that is taken by a file, a directory or a link, under its first free numbered
// variant, and leaves it open for writing in file. Only harmless names are used
// (isHarmlessFileName): a name that begins with a dot counts as taken and its variants lose
// the leading dots (".bashrc" -> "2.bashrc", ".a.b" -> "a2.b"); a type that runs or loads
// gains a '_' ("version.dll" -> "version.dll_"), so that every variant is harmless too. It never overwrites:
// the file is created exclusively, so a name that another process takes meanwhile moves on to the next
// variant. name comes back as the name used or, on failure, the name last tried. On Windows the name used is
// the one the file system stored, which lacks the dots that ended the name asked for.
bool createFreshFile(QFile &file, QString &name, const QString &dir = QString());

} // namespace tavrel
