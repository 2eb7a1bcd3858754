#include "ui_widget.h"
#include "widget.h"

void Widget::on_btnSendFile_clicked() {}

QString Widget::fileMimeType(const QString &path)
{
    Q_UNUSED(path);
    return QString();
}

bool Widget::openFileForRead()
{
    return false;
}

bool Widget::sendTextFile(const QString &path)
{
    Q_UNUSED(path);
    return false;
}
