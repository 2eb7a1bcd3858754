#include "widget.h"

#include <QDebug>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImageReader>
#include <QPixmap>

namespace {

// A peer can declare any dimensions in a few header bytes; refuse to decode an image whose
// pixels would take more than this. Set here rather than trusting the default, which
// differs between Qt versions. 256 MB still holds an 8192 x 8192 image at 32 bits a pixel.
constexpr int kImageAllocationLimitMb = 256;

} // namespace

bool Widget::showImage(const QString &path)
{
    QImageReader reader(path);
    reader.setAllocationLimit(kImageAllocationLimitMb);
    const QImage image = reader.read();
    if (image.isNull()) {
        qDebug() << "Failed to load image";
        return false;
    }
    pixmapItem = scene->addPixmap(QPixmap::fromImage(image));
    qDebug() << "已设置显示图片";
    return true;
}
