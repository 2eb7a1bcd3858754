#include "widget.h"

bool Widget::showImage(const QString &path)
{
    Q_UNUSED(path);
    return false;
}
