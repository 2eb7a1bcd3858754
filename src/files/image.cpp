#include "widget.h"

#include "files/offthread.h"
#include "rasterformat.h"

#include <QDebug>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QImageReader>
#include <QPixmap>
#include <QThreadPool>

namespace {

// The picture tab shows the scene, and the scene keeps only the images received last: each
// new one lies over the earlier ones at the origin, so a few are plenty, and at most 64 Mpx
// in all, 256 MB of pixmaps at 32 bits a pixel, held for as long as the window runs. The
// older images leave the scene; their files stay in the working folder.
constexpr int kMaxSceneImages = 4;
constexpr qint64 kScenePixelBudget = 64LL * 1024 * 1024;
// An image with more pixels than the whole scene holds could never be shown, so it is not
// decoded. The size its header declares is checked first: a 1-bit image decodes into 32
// times fewer bytes than the pixmap it would become. The reader's own limit, in MB of the
// decoded image, is set from the same figure rather than left at a default that differs
// between Qt versions.
constexpr qint64 kMaxImagePixels = kScenePixelBudget;
constexpr int kImageAllocationLimitMb = int(kMaxImagePixels * 4 / (1024 * 1024));

bool fitsScene(QSize size)
{
    return size.isValid() && qint64(size.width()) * size.height() <= kMaxImagePixels;
}

// Runs on a pool thread. The decoder is chosen from the file's first bytes, never from its
// name or by asking every image plugin. The image comes back in a format that
// QPixmap::fromImage takes over without converting it, so the GUI thread does no work per
// pixel (converting an 8 MP image with alpha there took 0.7 ms of CPU, one from a palette
// more).
QImage decodeForDisplay(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QImage();
    const QByteArray format = tavrel::rasterFormat(file.peek(tavrel::kRasterSignatureBytes));
    if (format.isEmpty())
        return QImage();
    QImageReader reader(&file, format);
    reader.setAutoDetectImageFormat(false);
    if (!fitsScene(reader.size()))
        return QImage();
    QImage image = reader.read();
    if (image.isNull() || !fitsScene(image.size()))
        return QImage();
    image.convertTo(image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    return image;
}

qint64 pixelsOf(const QGraphicsPixmapItem *item)
{
    const QSize size = item->pixmap().size();
    return qint64(size.width()) * size.height();
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
        [this, shown = std::move(shown)](std::optional<QImage> image) {
            if (!image || image->isNull()) {
                qDebug() << "Failed to load image";
                shown(false);
                return;
            }
            pixmapItem = scene->addPixmap(QPixmap::fromImage(std::move(*image)));
            sceneImages.append(pixmapItem);
            qint64 pixels = 0;
            for (const QGraphicsPixmapItem *item : std::as_const(sceneImages))
                pixels += pixelsOf(item);
            while (sceneImages.size() > kMaxSceneImages || pixels > kScenePixelBudget) {
                QGraphicsPixmapItem *oldest = sceneImages.takeFirst();
                pixels -= pixelsOf(oldest);
                delete oldest;
            }
            qDebug() << "已设置显示图片";
            shown(true);
        });
}
