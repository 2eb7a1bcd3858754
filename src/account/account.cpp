#include "ui_widget.h"
#include "widget.h"

#include "digest.h"

QString Widget::passwdDigest(const QString &text)
{
    return tavrel::md5Hex(text);
}

void Widget::on_btnLog_clicked() {}

void Widget::on_btnReg_clicked() {}
