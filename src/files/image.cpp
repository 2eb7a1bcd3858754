#include "widget.h"

#include "files/offthread.h"

#include <QDebug>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImageReader>
#include <QPixmap>
#include <QThreadPool>

namespace {

// A peer can declare any dimensions in a few header bytes; refuse to decode an image whose
// pixels would take more than this. Set here rather than trusting the default, which
// differs between Qt versions. 256 MB still holds an 8192 x 8192 image at 32 bits a pixel.
constexpr int kImageAllocationLimitMb = 256;

// Runs on a pool thread. The image comes back in a format that QPixmap::fromImage takes
// over without converting it, so the GUI thread does no work per pixel (converting an
// 8 MP image with alpha there took 0.7 ms of CPU, one from a palette more).
QImage decodeForDisplay(const QString &path)
{
    QImageReader reader(path);
    QImage image = reader.read();
    if (!image.isNull())
        image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    return image;
}

} // namespace

// Decoding an 8 MP image took 55 to 80 ms of CPU as a JPEG and 125 ms as a PNG, far longer
// than the event loop may stall (bench-display shows the stall), so it runs on a pool thread. The job holds
// no pointer to the window: its result goes through a watcher that is the window's child, and a watcher
// destroyed with the window receives nothing more.
void Widget::showImage(const QString &path, std::function<void(bool)> shown)
{
    // The limit is global to the process. It is set again before every decoding, should
    // anything have changed it, but only then: a job may be reading it.
    if (QImageReader::allocationLimit() != kImageAllocationLimitMb)
        QImageReader::setAllocationLimit(kImageAllocationLimitMb);
    runOffThread<QImage>(
        this, QThreadPool::globalInstance(), [path] { return decodeForDisplay(path); },
        [this, shown = std::move(shown)](const std::optional<QImage> &image) {
            if (!image || image->isNull()) {
                qDebug() << "Failed to load image";
                shown(false);
                return;
            }
            pixmapItem = scene->addPixmap(QPixmap::fromImage(*image));
            qDebug() << "已设置显示图片";
            shown(true);
        });
}
