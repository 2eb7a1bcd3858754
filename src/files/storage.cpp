#include "ui_widget.h"
#include "widget.h"

void Widget::on_btnReceiveFile_clicked() {}

bool Widget::saveFile(QString &name, const QByteArray &data)
{
    Q_UNUSED(name);
    Q_UNUSED(data);
    return false;
}
