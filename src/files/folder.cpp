#include "widget.h"

#include <QDebug>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>

namespace {

// The platform's own way of showing a directory; found through the program search path.
#if defined(Q_OS_WIN)
const char kFileManager[] = "explorer.exe";

// Windows starts a program named without a folder from the working directory before the
// system folders, and received files land in the working directory: a received
// "explorer.exe" would run at the click. The program search path leaves that folder out.
QString fileManagerProgram()
{
    return QStandardPaths::findExecutable(QLatin1String(kFileManager));
}
#elif defined(Q_OS_MACOS)
const char kFileManager[] = "open";
#else
const char kFileManager[] = "xdg-open";
#endif

#if !defined(Q_OS_WIN)
// QProcess looks for a bare name only along the program search path here.
QString fileManagerProgram()
{
    return QLatin1String(kFileManager);
}
#endif

} // namespace

void Widget::on_btnOpenFolder_clicked()
{
    // Received files under plain names land here, so this is the folder the user wants.
    const QString path = QDir::currentPath();
    qDebug().noquote() << path;
    openFolder(path);
}

void Widget::openFolder(const QString &path)
{
    // Detached, so the file manager outlives the window; a missing one is not worth a notice.
    const QString program = fileManagerProgram();
    if (!program.isEmpty())
        QProcess::startDetached(program, {QDir::toNativeSeparators(path)}, QString());
}
