#include "view/photopreview.h"

#include <QFile>
#include <QImageReader>

#include <exiv2/exiv2.hpp>

namespace view {

namespace {

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
        return result;
    } catch (const std::exception&) {
        // Not a photo the library knows, or damaged: no preview.
        return QImage();
    }
}

} // namespace

QImage photoPreview(const QString& filePath, const QSize& bound)
{
    QImage preview = embeddedPreview(filePath, bound);
    if (preview.isNull()) {
        QImageReader reader(filePath);
        // Only JPEG decodes cheaply at a reduced scale.
        if (reader.format() == "jpeg" && reader.size().isValid()) {
            reader.setAutoTransform(true);
            reader.setScaledSize(reader.size().scaled(bound, Qt::KeepAspectRatio));
            preview = reader.read();
        }
    }
    if (preview.isNull())
        return preview;
    return preview.scaled(bound, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

} // namespace view
