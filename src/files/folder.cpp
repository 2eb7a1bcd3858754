#include "widget.h"

void Widget::on_btnOpenFolder_clicked() {}

void Widget::openFolder(const QString &path)
{
    Q_UNUSED(path);
}
