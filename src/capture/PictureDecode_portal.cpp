#include "capture/PortalCapture.h"

#include <QBuffer>
#include <QImageReader>
#include <QtEndian>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <libdeflate.h>
#include <sys/mman.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// false for any other file. The chunks' CRCs are not checked: the zlib stream's checksum of
// the whole image data still catches a picture that is cut short or overwritten.
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

#if defined(__SSE2__)

// One pixel of N bytes in the low lanes of a register, the others zero.
template<int N> __m128i load(const uchar *p)
{
    quint32 v = 0;
    std::memcpy(&v, p, N);
    return _mm_cvtsi32_si128(int(v));
}

// Stores the pixel and gives it in Format_RGB32; alpha is dropped as QImage drops it
// converting to that format.
template<int N> QRgb store(uchar *p, __m128i pixel)
{
    const auto v = quint32(_mm_cvtsi128_si32(pixel));
    std::memcpy(p, &v, N);
    return 0xff000000u | (qbswap(v) >> 8);
}

// Undoes the filter of a row's pixels from..to in place, one pixel at a time (each depends
// on the one before it), given the row above and the pixels left of from already undone, and
// writes them out in Format_RGB32.
template<int N>
bool unfilterRow(uchar type, uchar *row, const uchar *above, int from, int to, QRgb *out)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i a = from ? load<N>(row + (from - 1) * N) : zero;
    __m128i c = from ? _mm_unpacklo_epi8(load<N>(above + (from - 1) * N), zero) : zero;
    row += from * N;
    above += from * N;
    switch (type) {
    case 0:
        for (int x = from; x < to; ++x, row += N)
            out[x] = store<N>(row, load<N>(row));
        return true;
    case 1:
        for (int x = from; x < to; ++x, row += N)
            out[x] = store<N>(row, a = _mm_add_epi8(load<N>(row), a));
        return true;
    case 2:
        for (int x = from; x < to; ++x, row += N, above += N)
            out[x] = store<N>(row, _mm_add_epi8(load<N>(row), load<N>(above)));
        return true;
    case 3: {
        // The rounded-up average less the bit it rounded up.
        const __m128i one = _mm_set1_epi8(1);
        for (int x = from; x < to; ++x, row += N, above += N) {
            const __m128i b = load<N>(above);
            const __m128i mean =
                _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
            out[x] = store<N>(row, a = _mm_add_epi8(load<N>(row), mean));
        }
        return true;
    }
    case 4:
        // In 16-bit lanes: a, b or c, whichever is nearest to a + b - c, in that order on ties.
        for (int x = from; x < to; ++x, row += N, above += N) {
            const __m128i b = _mm_unpacklo_epi8(load<N>(above), zero);
            const __m128i a16 = _mm_unpacklo_epi8(a, zero);
            __m128i pa = _mm_sub_epi16(b, c), pb = _mm_sub_epi16(a16, c);
            __m128i pc = _mm_add_epi16(pa, pb);
            pa = _mm_max_epi16(pa, _mm_sub_epi16(zero, pa));
            pb = _mm_max_epi16(pb, _mm_sub_epi16(zero, pb));
            pc = _mm_max_epi16(pc, _mm_sub_epi16(zero, pc));
            const __m128i least = _mm_min_epi16(_mm_min_epi16(pa, pb), pc);
            const __m128i isA = _mm_cmpeq_epi16(pa, least), isB = _mm_cmpeq_epi16(pb, least);
            __m128i nearest = _mm_or_si128(_mm_and_si128(isB, b), _mm_andnot_si128(isB, c));
            nearest = _mm_or_si128(_mm_and_si128(isA, a16), _mm_andnot_si128(isA, nearest));
            out[x] = store<N>(row, a = _mm_add_epi8(load<N>(row), _mm_packus_epi16(nearest, zero)));
            c = b;
        }
        return true;
    }
    return false;
}

#else

uchar paeth(int a, int b, int c)
{
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return uchar(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

template<int N>
bool unfilterRow(uchar type, uchar *row, const uchar *above, int from, int to, QRgb *out)
{
    if (type > 4)
        return false;
    for (int i = from * N; i < to * N; ++i) {
        const int a = i >= N ? row[i - N] : 0, b = above[i], c = i >= N ? above[i - N] : 0;
        const int predicted[] = {0, a, b, (a + b) >> 1, paeth(a, b, c)};
        row[i] = uchar(row[i] + predicted[type]);
    }
    for (int x = from; x < to; ++x)
        out[x] = qRgb(row[x * N], row[x * N + 1], row[x * N + 2]);
    return true;
}

#endif

// The stream inflated, and the rows' filters undone on two threads, each taking half of every
// row: the left half of a row needs only the row above, the right half also the pixel left of
// it, so the right half of a row follows once the left half is done. While this thread
// inflates, the other has the system provide the memory both are about to write, work that
// would otherwise hold up each first write to a page.
template<int N>
bool decode(const Header &h, QByteArrayView stream, uchar *raw, size_t rawBytes, QImage &image)
{
    constexpr int kFailed = -1;
    const size_t stride = 1 + size_t(h.width) * N;
    const std::vector<uchar> none(stride);
    const int middle = h.width / 2;
    uchar *pixels = image.bits();
    const auto half = [&](int y, int from, int to) {
        uchar *row = raw + y * stride;
        const uchar *above = y ? row - stride + 1 : none.data();
        return unfilterRow<N>(row[0], row + 1, above, from, to,
                              reinterpret_cast<QRgb *>(pixels + y * image.bytesPerLine()));
    };
    std::atomic<int> leftDone{0};
    bool rightUndone = true;
    std::jthread right([&] {
        madvise(raw, rawBytes, MADV_POPULATE_WRITE);
        madvise(pixels, size_t(image.sizeInBytes()), MADV_POPULATE_WRITE);
        for (int y = 0; y < h.height && rightUndone; ++y) {
            int done;
            while ((done = leftDone.load(std::memory_order_acquire)) <= y && done != kFailed)
                leftDone.wait(done, std::memory_order_acquire);
            rightUndone = done != kFailed && half(y, middle, h.width);
        }
    });
    const auto fail = [&] {
        leftDone.store(kFailed, std::memory_order_release);
        leftDone.notify_one();
        return false;
    };
    const std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor *)> inflater(
        libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
    // Without a count of bytes out, anything but exactly rawBytes is a failure.
    if (!inflater ||
        libdeflate_zlib_decompress(inflater.get(), stream.data(), size_t(stream.size()), raw,
                                   rawBytes, nullptr) != LIBDEFLATE_SUCCESS)
        return fail();
    for (int y = 0; y < h.height; ++y) {
        if (!half(y, 0, middle))
            return fail();
        leftDone.store(y + 1, std::memory_order_release);
        leftDone.notify_one();
    }
    right.join();
    return rightUndone;
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
    // The inflater takes the stream in one piece; a writer splits it into chunks (GNOME's of
    // 8 KiB), so they are joined first unless there is one.
    QByteArray joined;
    QByteArrayView stream = compressed.front();
    if (compressed.size() > 1) {
        qsizetype size = 0;
        for (const QByteArrayView chunk : compressed)
            size += chunk.size();
        joined.reserve(size);
        for (const QByteArrayView chunk : compressed)
            joined.append(chunk);
        stream = joined;
    }
    const size_t rawBytes = (1 + size_t(h.width) * size_t(h.channels)) * size_t(h.height);
    const std::unique_ptr<HugePages> raw(HugePages::create(rawBytes));
    QImage image = ScreenCapture::freshImage(QSize(h.width, h.height));
    if (!raw || image.isNull())
        return {};
    const bool undone = h.channels == 3 ? decode<3>(h, stream, raw->data(), rawBytes, image)
                                        : decode<4>(h, stream, raw->data(), rawBytes, image);
    return undone ? image : QImage();
}

} // namespace PortalCapture
