#include "view/photopreview.h"

#include <QFile>
#include <QImageReader>
#include <QMetaObject>
#include <QPointer>
#include <QRunnable>
#include <QThreadPool>

#include <exiv2/exiv2.hpp>

namespace view {

namespace {

QImage fitted(const QImage& image, const QSize& bound)
{
    return image.isNull() ? image : image.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

// Its own pool, so that waiting for the previews waits for nothing else.
QThreadPool& previewPool()
{
    static QThreadPool pool;
    return pool;
}

// Reads a reduced JPEG on a worker thread. The answer goes back through a
// relay object of the receiver's thread, which the task alone deletes (so it
// is alive whenever the worker posts to it); whether the receiver still
// exists is asked on the receiver's thread only.
class ReducedJpegTask : public QRunnable {
public:
    ReducedJpegTask(const QString& filePath, const QSize& bound, QObject* receiver,
                    std::function<void(const QImage&)> done)
        : m_filePath(filePath)
        , m_bound(bound)
        , m_receiver(receiver)
        , m_relay(new QObject)
        , m_done(std::move(done))
    {
        m_relay->moveToThread(receiver->thread());
    }

    void run() override
    {
        const QImage image = reducedJpeg(m_filePath, m_bound);
        QPointer<QObject> target = m_receiver;
        auto handOver = m_done;
        QMetaObject::invokeMethod(
            m_relay,
            [target, handOver, image] {
                if (target)
                    handOver(image);
            },
            Qt::QueuedConnection);
        m_relay->deleteLater();
    }

private:
    QString m_filePath;
    QSize m_bound;
    QPointer<QObject> m_receiver;
    QObject* m_relay;
    std::function<void(const QImage&)> m_done;
};

} // namespace

QImage embeddedPreview(const QString& filePath, const QSize& bound)
{
    try {
        auto image = Exiv2::ImageFactory::open(QFile::encodeName(filePath).toStdString());
        if (!image.get())
            return QImage();
        image->readMetadata();
        Exiv2::PreviewManager manager(*image);
        const Exiv2::PreviewPropertiesList previews = manager.getPreviewProperties();
        if (previews.empty())
            return QImage();
        // The list runs from the smallest preview up: take the first one
        // that fills the bound, so that little is read and decoded.
        auto chosen = previews.back();
        for (const Exiv2::PreviewProperties& properties : previews) {
            if (int(properties.width_) >= bound.width() || int(properties.height_) >= bound.height()) {
                chosen = properties;
                break;
            }
        }
        const Exiv2::PreviewImage preview = manager.getPreviewImage(chosen);
        QImage result;
        result.loadFromData(preview.pData(), int(preview.size()));
        return fitted(result, bound);
    } catch (const std::exception&) {
        // Not a photo the library knows, or damaged: no preview.
        return QImage();
    }
}

QImage reducedJpeg(const QString& filePath, const QSize& bound)
{
    QImageReader reader(filePath);
    // Only JPEG decodes cheaply at a reduced scale.
    if (reader.format() != "jpeg" || !reader.size().isValid())
        return QImage();
    reader.setAutoTransform(true);
    reader.setScaledSize(reader.size().scaled(bound, Qt::KeepAspectRatio));
    return fitted(reader.read(), bound);
}

void readPreview(const QString& filePath, const QSize& bound, QObject* receiver,
                 std::function<void(const QImage&)> done)
{
    const QImage embedded = embeddedPreview(filePath, bound);
    if (!embedded.isNull()) {
        done(embedded);
        return;
    }
    previewPool().start(new ReducedJpegTask(filePath, bound, receiver, std::move(done)));
}

void waitForPreviews()
{
    previewPool().waitForDone();
}

} // namespace view
