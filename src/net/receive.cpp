#include "ui_widget.h"
#include "widget.h"

#include "assembler.h"

#include <QTcpSocket>

bool Widget::ReadInformation()
{
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return true;
    assembler->append(bytes);
    return true;
}

bool Widget::handleMessage(const QByteArray &message)
{
    Q_UNUSED(message);
    return true;
}

void Widget::dropOversizedMessage(qint64 bytes)
{
    Q_UNUSED(bytes);
}
