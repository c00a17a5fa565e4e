#include "capture/PortalCapture.h"

#include <QBuffer>
#include <QImageReader>
#include <QtEndian>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <zlib.h>

#include "capture/HugePages.h"
#include "capture/ScreenCaptureReaders.h"

namespace PortalCapture {

namespace {

// Qt's own limit for one decoded image.
constexpr size_t kMaxBytes = size_t(256) << 20;

struct Header
{
    int width = 0;
    int height = 0;
    int channels = 0;
};

// The header and the compressed image data of an 8-bit RGB or RGBA PNG without interlacing;
// false for any other file. The chunks' CRCs are not checked: zlib's checksum of the whole
// image data still catches a picture that is cut short or overwritten.
bool parse(const QByteArray &data, Header *header, std::vector<QByteArrayView> *compressed)
{
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (!data.startsWith(QByteArrayView(signature, 8)))
        return false;
    const auto *bytes = reinterpret_cast<const uchar *>(data.constData());
    for (qsizetype at = 8; at + 12 <= data.size();) {
        const quint32 length = qFromBigEndian<quint32>(bytes + at);
        if (length > quint32(data.size() - at - 12))
            return false;
        const QByteArrayView type(data.constData() + at + 4, 4);
        const uchar *body = bytes + at + 8;
        if (at == 8) {
            if (type != "IHDR" || length != 13 || body[8] != 8 || (body[9] != 2 && body[9] != 6) ||
                body[10] || body[11] || body[12])
                return false;
            header->width = int(std::min<quint32>(qFromBigEndian<quint32>(body), 1u << 20));
            header->height = int(std::min<quint32>(qFromBigEndian<quint32>(body + 4), 1u << 20));
            header->channels = body[9] == 2 ? 3 : 4;
        } else if (type == "IDAT") {
            compressed->emplace_back(data.constData() + at + 8, length);
        } else if (type == "IEND") {
            break;
        }
        at += 12 + qsizetype(length);
    }
    return header->width > 0 && header->height > 0 &&
           size_t(header->width) * size_t(header->height) * 4 <= kMaxBytes && !compressed->empty();
}

uchar paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uchar(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Undoes a row's filter in place, given the row above it already undone.
template<int N> bool unfilter(uchar type, uchar *row, const uchar *above, int length)
{
    switch (type) {
    case 0:
        return true;
    case 1:
        for (int i = N; i < length; ++i)
            row[i] = uchar(row[i] + row[i - N]);
        return true;
    case 2:
        for (int i = 0; i < length; ++i)
            row[i] = uchar(row[i] + above[i]);
        return true;
    case 3:
        for (int i = 0; i < N; ++i)
            row[i] = uchar(row[i] + (above[i] >> 1));
        for (int i = N; i < length; ++i)
            row[i] = uchar(row[i] + ((row[i - N] + above[i]) >> 1));
        return true;
    case 4:
        for (int i = 0; i < N; ++i)
            row[i] = uchar(row[i] + above[i]);
        for (int i = N; i < length; ++i)
            row[i] = uchar(row[i] + paeth(row[i - N], above[i], above[i - N]));
        return true;
    }
    return false;
}

// Rows of N channels into Format_RGB32; alpha is dropped as QImage drops it converting to
// that format.
template<int N> void toRgb32(const uchar *in, int width, QRgb *out)
{
    for (int x = 0; x < width; ++x, in += N)
        out[x] = qRgb(in[0], in[1], in[2]);
}

template<int N>
bool undoFilters(const Header &h, uchar *raw, const std::atomic<size_t> &inflated, QImage &image)
{
    const size_t stride = 1 + size_t(h.width) * N;
    uchar *pixels = image.bits();
    const std::vector<uchar> none(stride);
    for (int y = 0; y < h.height; ++y) {
        const size_t needed = (y + 1) * stride;
        size_t have;
        while ((have = inflated.load(std::memory_order_acquire)) < needed)
            inflated.wait(have, std::memory_order_acquire);
        if (have == std::numeric_limits<size_t>::max())
            return false;
        uchar *row = raw + y * stride;
        const uchar *above = y ? row - stride + 1 : none.data();
        if (!unfilter<N>(row[0], row + 1, above, h.width * N))
            return false;
        toRgb32<N>(row + 1, h.width,
                   reinterpret_cast<QRgb *>(pixels + qsizetype(y) * image.bytesPerLine()));
    }
    return true;
}

} // namespace

QImage decodePicture(const QByteArray &data)
{
    Header h;
    std::vector<QByteArrayView> compressed;
    if (!parse(data, &h, &compressed)) {
        QBuffer buffer;
        buffer.setData(data);
        QImage image = QImageReader(&buffer).read();
        if (!image.isNull() && image.format() != QImage::Format_RGB32)
            image.convertTo(QImage::Format_RGB32);
        return image;
    }
    const size_t stride = 1 + size_t(h.width) * size_t(h.channels);
    const size_t rawBytes = stride * size_t(h.height);
    const std::unique_ptr<HugePages> raw(HugePages::create(rawBytes));
    QImage image = ScreenCapture::freshImage(QSize(h.width, h.height));
    if (!raw || image.isNull())
        return {};

    // One thread inflates while this one undoes the filters of the rows inflated so far.
    std::atomic<size_t> inflated{0};
    bool complete = false;
    {
        std::jthread inflater([&] {
            z_stream z{};
            if (inflateInit(&z) != Z_OK) {
                inflated.store(std::numeric_limits<size_t>::max(), std::memory_order_release);
                inflated.notify_one();
                return;
            }
            z.next_out = raw->data();
            z.avail_out = uInt(rawBytes);
            int result = Z_OK;
            for (const QByteArrayView chunk : compressed) {
                z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(chunk.data()));
                z.avail_in = uInt(chunk.size());
                result = inflate(&z, Z_NO_FLUSH);
                inflated.store(z.total_out, std::memory_order_release);
                inflated.notify_one();
                // An empty chunk is no error; anything else but progress ends the stream.
                if (result != Z_OK && !(result == Z_BUF_ERROR && chunk.isEmpty()))
                    break;
            }
            complete = result == Z_STREAM_END && z.total_out == rawBytes;
            inflateEnd(&z);
            if (!complete) {
                inflated.store(std::numeric_limits<size_t>::max(), std::memory_order_release);
                inflated.notify_one();
            }
        });
        const bool undone = h.channels == 3 ? undoFilters<3>(h, raw->data(), inflated, image)
                                            : undoFilters<4>(h, raw->data(), inflated, image);
        inflater.join();
        complete = complete && undone;
    }
    return complete ? image : QImage();
}

} // namespace PortalCapture
