#include "ui_widget.h"
#include "widget.h"

void Widget::on_btnSend_clicked() {}
