#include "ui_widget.h"
#include "widget.h"

#include "net/plaintext.h"

#include <QCoreApplication>
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

// The folder made for the window: where Windows users keep their files, and beside them on
// the other systems, where the menu entry starts the window in the same folder
// (packaging/tavrel.desktop).
QString ownWorkingFolder()
{
#if defined(Q_OS_WIN)
    const auto base = QStandardPaths::DocumentsLocation;
#else
    const auto base = QStandardPaths::HomeLocation;
#endif
    return QStandardPaths::writableLocation(base) + QStringLiteral("/Tavrel");
}

bool isSameFolder(const QString &a, const QString &b)
{
#if defined(Q_OS_WIN)
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return !a.isEmpty() && a.compare(b, cs) == 0;
}

} // namespace

void Widget::leaveProgramFolder()
{
    // Received files land in the working folder. Started from its own folder (the unpacked
    // zip on Windows, a build tree), the window would put them beside the program, where a
    // version.dll is loaded at the next start and a qt.conf read: so it moves to a folder of
    // its own, made on first use. A start from anywhere else keeps its folder.
    const QString program = QDir(QCoreApplication::applicationDirPath()).canonicalPath();
    if (!isSameFolder(program, QDir::current().canonicalPath()))
        return;
    const QString folder = ownWorkingFolder();
    if (!QDir().mkpath(folder) || !QDir::setCurrent(folder)) {
        qWarning().noquote()
            << QStringLiteral("Cannot work in %1; received files go beside the program").arg(folder);
        return;
    }
    appendPlainText(ui->textEditRead, QStringLiteral("程序从自己的文件夹启动，收到的文件改存到：") +
                                          QDir::toNativeSeparators(folder));
}

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
