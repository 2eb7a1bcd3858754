#include "widget.h"

#include <QDebug>
#include <QDir>
#include <QProcess>

namespace {

// The platform's own way of showing a directory; found through the program search path.
#if defined(Q_OS_WIN)
const char kFileManager[] = "explorer.exe";
#elif defined(Q_OS_MACOS)
const char kFileManager[] = "open";
#else
const char kFileManager[] = "xdg-open";
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
    QProcess::startDetached(QLatin1String(kFileManager), {QDir::toNativeSeparators(path)}, QString());
}
