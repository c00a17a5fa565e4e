#include "overlay/ImageEncoding.h"

#include <csetjmp>
#include <thread>
#include <vector>

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <png.h>
#include <zlib.h>

namespace {

static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "alpha is read as the top byte of a pixel word");

// Level 1 with the Up filter on every row: on screen content this is as small as Qt's default
// PNG (level 6, adaptive filters) at a fifth of its time; Sub, Paeth, higher levels and the
// run-length strategy were all slower or larger.
constexpr int deflateLevel = 1;
constexpr uchar upFilter = 2;
// Images from this many pixels on are compressed in two halves on two threads.
constexpr qsizetype splitFrom = 1 << 20;

bool isArgbOrder(QImage::Format format)
{
    return format == QImage::Format_ARGB32_Premultiplied || format == QImage::Format_ARGB32 ||
           format == QImage::Format_RGB32;
}

bool isRgbaOrder(QImage::Format format)
{
    return format == QImage::Format_RGBA8888_Premultiplied || format == QImage::Format_RGBA8888 ||
           format == QImage::Format_RGBX8888;
}

bool isOpaque(const QImage &image)
{
    if (!image.hasAlphaChannel())
        return true;
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
        quint32 all = 0xffffffff;
        for (int x = 0; x < image.width(); ++x)
            all &= line[x];
        if ((all >> 24) != 0xff)
            return false;
    }
    return true;
}

template<int Channels, bool Argb> void packRow(const uchar *src, int width, uchar *dst)
{
    for (int x = 0; x < width; ++x, src += 4, dst += Channels) {
        dst[0] = src[Argb ? 2 : 0];
        dst[1] = src[1];
        dst[2] = src[Argb ? 0 : 2];
        if constexpr (Channels == 4)
            dst[3] = src[3];
    }
}

// Reads rows of a 32-bit image as PNG scanline bytes: RGB when every pixel is opaque, else
// RGBA with straight alpha.
class RowPacker
{
public:
    RowPacker(const QImage &image, bool opaque)
        : m_image(image), m_argb(isArgbOrder(image.format())), m_channels(opaque ? 3 : 4)
    {
        // Qt's writer un-premultiplies through these conversions; using them (rather than
        // qUnpremultiply, which rounds differently from Qt's vector code) keeps the pixels equal.
        if (!opaque && image.format() == QImage::Format_ARGB32_Premultiplied)
            m_straight = QImage::Format_ARGB32;
        else if (!opaque && image.format() == QImage::Format_RGBA8888_Premultiplied)
            m_straight = QImage::Format_RGBA8888;
    }

    int channels() const { return m_channels; }
    qsizetype rowBytes() const { return qsizetype(m_image.width()) * m_channels; }

    // Writes rows [first, first + count) one after another, rowBytes() each.
    void pack(int first, int count, uchar *out) const
    {
        QImage rows(m_image.constScanLine(first), m_image.width(), count, m_image.bytesPerLine(),
                    m_image.format());
        if (m_straight != QImage::Format_Invalid)
            rows = rows.convertToFormat(m_straight);
        const int width = m_image.width();
        for (int y = 0; y < count; ++y, out += rowBytes()) {
            const uchar *src = rows.constScanLine(y);
            if (m_channels == 3)
                m_argb ? packRow<3, true>(src, width, out) : packRow<3, false>(src, width, out);
            else
                m_argb ? packRow<4, true>(src, width, out) : packRow<4, false>(src, width, out);
        }
    }

    // Rows per pack() call: Qt converts up to 2^16 pixels on the calling thread only.
    int batchRows() const { return qMax(1, (1 << 16) / m_image.width()); }

private:
    QImage m_image;
    QImage::Format m_straight = QImage::Format_Invalid;
    bool m_argb;
    int m_channels;
};

// Rows [first, last) filtered and deflated as a raw stream. A band that is not the last ends
// with a sync flush (byte-aligned, not final), so the bands concatenate into one stream.
struct Band
{
    int first = 0;
    int last = 0;
    bool isLast = false;
    QByteArray deflated;
    uLong adler = 1;
    qsizetype length = 0;
    bool ok = false;
};

void compressBand(const RowPacker &packer, Band &band)
{
    const qsizetype rowBytes = packer.rowBytes();
    band.length = (band.last - band.first) * (rowBytes + 1);
    z_stream z{};
    if (deflateInit2(&z, deflateLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return;
    // Large enough for the whole band: every deflate call below finishes its input.
    band.deflated.resize(qsizetype(deflateBound(&z, uLong(band.length))) + 64);
    z.next_out = reinterpret_cast<Bytef *>(band.deflated.data());
    z.avail_out = uInt(band.deflated.size());

    const int batch = packer.batchRows();
    std::vector<uchar> previous(rowBytes, 0), packed(batch * rowBytes),
        filtered(batch * (rowBytes + 1));
    if (band.first > 0)
        packer.pack(band.first - 1, 1, previous.data());
    bool ok = true;
    for (int y = band.first; y < band.last && ok; y += batch) {
        const int count = qMin(batch, band.last - y);
        packer.pack(y, count, packed.data());
        for (int r = 0; r < count; ++r) {
            const uchar *cur = packed.data() + r * rowBytes;
            const uchar *above = r == 0 ? previous.data() : cur - rowBytes;
            uchar *out = filtered.data() + r * (rowBytes + 1);
            out[0] = upFilter;
            for (qsizetype i = 0; i < rowBytes; ++i)
                out[i + 1] = uchar(cur[i] - above[i]);
        }
        std::copy_n(packed.data() + (count - 1) * rowBytes, rowBytes, previous.data());
        const uInt size = uInt(count * (rowBytes + 1));
        band.adler = adler32(band.adler, filtered.data(), size);
        z.next_in = filtered.data();
        z.avail_in = size;
        ok = deflate(&z, Z_NO_FLUSH) == Z_OK && z.avail_in == 0;
    }
    const int end = deflate(&z, band.isLast ? Z_FINISH : Z_SYNC_FLUSH);
    band.ok = ok && end == (band.isLast ? Z_STREAM_END : Z_OK) && z.avail_out > 0;
    band.deflated.resize(qsizetype(z.total_out));
    deflateEnd(&z);
}

void appendBytes(png_structp png, png_bytep data, size_t length)
{
    static_cast<QByteArray *>(png_get_io_ptr(png))
        ->append(reinterpret_cast<const char *>(data), qsizetype(length));
}

void flushNothing(png_structp) {}

// Header, one IDAT chunk per band (the zlib header before the first band, the checksum after
// the last), end. Only plain data lives here: libpng reports errors by longjmp.
bool writePng(QByteArray *out, int width, int height, int channels, const std::vector<Band> &bands,
              uLong adler)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, appendBytes, flushNothing);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8,
                 channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // CMF: deflate with a 32 KiB window; FLG: fastest level, check bits.
    const png_byte zlibHeader[2] = {0x78, 0x01};
    const png_byte checksum[4] = {png_byte(adler >> 24), png_byte(adler >> 16),
                                  png_byte(adler >> 8), png_byte(adler)};
    const auto idat = reinterpret_cast<png_const_bytep>("IDAT");
    for (size_t i = 0; i < bands.size(); ++i) {
        const bool first = i == 0, last = i + 1 == bands.size();
        const QByteArray &data = bands[i].deflated;
        png_write_chunk_start(png, idat,
                              png_uint_32(data.size() + (first ? 2 : 0) + (last ? 4 : 0)));
        if (first)
            png_write_chunk_data(png, zlibHeader, sizeof zlibHeader);
        png_write_chunk_data(png, reinterpret_cast<png_const_bytep>(data.constData()),
                             size_t(data.size()));
        if (last)
            png_write_chunk_data(png, checksum, sizeof checksum);
        png_write_chunk_end(png);
    }
    png_write_chunk(png, reinterpret_cast<png_const_bytep>("IEND"), nullptr, 0);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

namespace ImageEncoding {

QByteArray encodePng(const QImage &image)
{
    if (image.isNull())
        return {};
    QImage source = image;
    if (!isArgbOrder(source.format()) && !isRgbaOrder(source.format()))
        source = source.convertToFormat(source.hasAlphaChannel() ? QImage::Format_RGBA8888
                                                                 : QImage::Format_RGBX8888);
    if (source.isNull())
        return {};
    const RowPacker packer(source, isOpaque(source));

    const int height = source.height();
    const int parts = qsizetype(source.width()) * height >= splitFrom ? 2 : 1;
    std::vector<Band> bands(parts);
    for (int i = 0; i < parts; ++i) {
        bands[i].first = height * i / parts;
        bands[i].last = height * (i + 1) / parts;
        bands[i].isLast = i + 1 == parts;
    }
    {
        std::vector<std::jthread> workers;
        for (int i = 1; i < parts; ++i)
            workers.emplace_back([&packer, &band = bands[i]] { compressBand(packer, band); });
        compressBand(packer, bands[0]);
    }
    uLong adler = adler32(0, nullptr, 0);
    for (const Band &band : bands) {
        if (!band.ok)
            return {};
        adler = adler32_combine(adler, band.adler, z_off_t(band.length));
    }
    QByteArray out;
    out.reserve(2 * 1024 + bands[0].deflated.size() * parts);
    if (!writePng(&out, source.width(), height, packer.channels(), bands, adler))
        return {};
    return out;
}

QByteArray encodeJpeg(const QImage &image, int quality)
{
    if (image.isNull())
        return {};
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(quality);
    if (!writer.write(image))
        return {};
    return out;
}

QImage readPng(const QString &path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return reader.read();
}

} // namespace ImageEncoding
