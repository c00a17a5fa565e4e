#include "overlay/ClipboardImage.h"

#include <utility>

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

namespace {

const QString pngType = QStringLiteral("image/png");
const QString tiffType = QStringLiteral("image/tiff");

} // namespace

namespace {

std::shared_future<QByteArray> ready(QByteArray bytes)
{
    std::promise<QByteArray> promise;
    promise.set_value(std::move(bytes));
    return promise.get_future().share();
}

} // namespace

ClipboardImage::ClipboardImage(QByteArray png) : ClipboardImage(ready(std::move(png))) {}

ClipboardImage::ClipboardImage(std::shared_future<QByteArray> png)
    : m_png(std::move(png)), m_formats{pngType}
{
    // TIFF needs Qt's image-format plugins; without them only the PNG is offered.
    if (QImageWriter::supportedImageFormats().contains("tiff"))
        m_formats << tiffType;
}

QStringList ClipboardImage::formats() const
{
    return m_formats;
}

bool ClipboardImage::hasFormat(const QString &mimeType) const
{
    return m_formats.contains(mimeType);
}

QVariant ClipboardImage::retrieveData(const QString &mimeType, QMetaType) const
{
    if (mimeType == pngType)
        return m_png.get();
    if (mimeType != tiffType || !hasFormat(tiffType))
        return {};
    const QImage image = QImage::fromData(m_png.get(), "png");
    QByteArray tiff;
    QBuffer buffer(&tiff);
    buffer.open(QIODevice::WriteOnly);
    if (image.isNull() || !QImageWriter(&buffer, "tiff").write(image))
        return {};
    return tiff;
}
