#include "ReferenceDecoders.h"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include <QtEndian>

#include <spng.h>
#include <zlib.h>

#include "capture/HugePages.h"
#include "capture/ScreenCaptureReaders.h"

namespace ReferenceDecoders {

namespace {

uchar paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uchar(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

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

constexpr size_t kFailed = std::numeric_limits<size_t>::max();

template<int N>
bool undoFilters(int width, int height, uchar *raw, const std::atomic<size_t> &inflated,
                 QImage &image)
{
    const size_t stride = 1 + size_t(width) * N;
    const std::vector<uchar> none(stride);
    for (int y = 0; y < height; ++y) {
        size_t have;
        while ((have = inflated.load(std::memory_order_acquire)) < (y + 1) * stride)
            inflated.wait(have, std::memory_order_acquire);
        if (have == kFailed)
            return false;
        uchar *row = raw + y * stride;
        if (!unfilter<N>(row[0], row + 1, y ? row - stride + 1 : none.data(), width * N))
            return false;
        auto *out = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            out[x] = qRgb(row[1 + x * N], row[2 + x * N], row[3 + x * N]);
    }
    return true;
}

} // namespace

QImage zlibTwoThreads(const QByteArray &png)
{
    const auto *bytes = reinterpret_cast<const uchar *>(png.constData());
    int width = 0, height = 0, channels = 0;
    std::vector<QByteArrayView> chunks;
    for (qsizetype at = 8; at + 12 <= png.size();) {
        const quint32 length = qFromBigEndian<quint32>(bytes + at);
        const QByteArrayView type(png.constData() + at + 4, 4);
        if (type == "IHDR") {
            width = int(qFromBigEndian<quint32>(bytes + at + 8));
            height = int(qFromBigEndian<quint32>(bytes + at + 12));
            channels = bytes[at + 17] == 6 ? 4 : bytes[at + 17] == 2 ? 3 : 0;
        } else if (type == "IDAT") {
            chunks.emplace_back(png.constData() + at + 8, length);
        }
        at += 12 + qsizetype(length);
    }
    const size_t rawBytes = (1 + size_t(width) * channels) * size_t(height);
    const std::unique_ptr<HugePages> raw(HugePages::create(rawBytes));
    QImage image = ScreenCapture::freshImage(QSize(width, height));
    if (!channels || !raw || image.isNull())
        return {};
    std::atomic<size_t> inflated{0};
    bool complete = false;
    std::jthread inflater([&] {
        z_stream z{};
        if (inflateInit(&z) == Z_OK) {
            z.next_out = raw->data();
            z.avail_out = uInt(rawBytes);
            int result = Z_OK;
            for (const QByteArrayView chunk : chunks) {
                z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(chunk.data()));
                z.avail_in = uInt(chunk.size());
                result = inflate(&z, Z_NO_FLUSH);
                inflated.store(z.total_out, std::memory_order_release);
                inflated.notify_one();
                if (result != Z_OK)
                    break;
            }
            complete = result == Z_STREAM_END && z.total_out == rawBytes;
            inflateEnd(&z);
        }
        if (!complete) {
            inflated.store(kFailed, std::memory_order_release);
            inflated.notify_one();
        }
    });
    const bool undone = channels == 3 ? undoFilters<3>(width, height, raw->data(), inflated, image)
                                      : undoFilters<4>(width, height, raw->data(), inflated, image);
    inflater.join();
    return complete && undone ? image : QImage();
}

QImage spng(const QByteArray &png)
{
    const std::unique_ptr<spng_ctx, void (*)(spng_ctx *)> context(spng_ctx_new(0), spng_ctx_free);
    spng_ihdr header{};
    if (!context || spng_set_png_buffer(context.get(), png.constData(), size_t(png.size())) ||
        spng_get_ihdr(context.get(), &header))
        return {};
    QImage image(int(header.width), int(header.height), QImage::Format_RGBA8888);
    if (image.isNull() || spng_decode_image(context.get(), image.bits(),
                                            size_t(image.sizeInBytes()), SPNG_FMT_RGBA8, 0))
        return {};
    return image.convertToFormat(QImage::Format_RGB32);
}

QImage qt(const QByteArray &png)
{
    return QImage::fromData(png).convertToFormat(QImage::Format_RGB32);
}

} // namespace ReferenceDecoders
