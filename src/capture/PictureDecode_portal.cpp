#include "capture/PortalCapture.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QtEndian>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <libdeflate.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "capture/HugePages.h"
#include "capture/ScreenCaptureReaders.h"

namespace PortalCapture {

namespace {

// A regular file opened for reading, not through a link, with its identity and size; -1 for
// anything else: a pipe, say, would never end.
int openRegularFile(const char *path, struct stat *info)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd >= 0 && (fstat(fd, info) != 0 || !S_ISREG(info->st_mode))) {
        close(fd);
        return -1;
    }
    return fd;
}

struct Header
{
    int width = 0;
    int height = 0;
    int channels = 0;
};

// The 13 bytes of an IHDR chunk, when they describe an 8-bit RGB or RGBA picture without
// interlacing of a size a picture may have.
bool readHeader(const uchar *body, Header *header)
{
    if (body[8] != 8 || (body[9] != 2 && body[9] != 6) || body[10] || body[11] || body[12])
        return false;
    header->width = int(std::min<quint32>(qFromBigEndian<quint32>(body), 1u << 20));
    header->height = int(std::min<quint32>(qFromBigEndian<quint32>(body + 4), 1u << 20));
    header->channels = body[9] == 2 ? 3 : 4;
    return header->width > 0 && header->height > 0 &&
           size_t(header->width) * size_t(header->height) * 4 <= size_t(kMaxPictureBytes);
}

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
            if (type != "IHDR" || length != 13 || !readHeader(body, header))
                return false;
        } else if (type == "IDAT") {
            compressed->emplace_back(data.constData() + at + 8, length);
        } else if (type == "IEND") {
            break;
        }
        at += 12 + qsizetype(length);
    }
    return header->width > 0 && !compressed->empty();
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

QByteArray readPicture(const QString &file)
{
    struct stat info;
    const int fd = openRegularFile(QFile::encodeName(file).constData(), &info);
    QFile in;
    if (fd < 0 || info.st_size > kMaxPictureBytes ||
        !in.open(fd, QIODevice::ReadOnly, QFile::AutoCloseHandle)) {
        if (fd >= 0)
            close(fd);
        return {};
    }
    return in.readAll();
}

QImage decodePicture(const QByteArray &data)
{
    Header h;
    std::vector<QByteArrayView> compressed;
    if (!parse(data, &h, &compressed)) {
        QBuffer buffer;
        buffer.setData(data);
        QImageReader reader(&buffer);
        reader.setAllocationLimit(int(kMaxPictureBytes >> 20));
        QImage image = reader.read();
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

namespace {

// A picture of the kind parse() takes, decoded from its bytes as they come, a row at a time:
// rows are inflated into one buffer and unfiltered against the one before. The chunks' CRCs
// are not checked, as there; the zlib stream's checksum is.
class RowDecoder
{
public:
    RowDecoder() = default;
    RowDecoder(const RowDecoder &) = delete;
    RowDecoder &operator=(const RowDecoder &) = delete;
    ~RowDecoder()
    {
        if (m_inflating)
            inflateEnd(&m_z);
    }

    // False, for good, once the bytes cannot be such a picture.
    bool feed(const uchar *p, size_t n);
    bool done() const { return m_done; }
    bool failed() const { return m_failed; }
    QImage image() const { return m_done ? m_image : QImage(); }

private:
    enum class Stage
    {
        Signature,
        ChunkHead,
        Header,
        Body,
        Crc
    };
    // Gathers need bytes of a fixed-size part; true once they are all there.
    bool collect(const uchar *&p, size_t &n, size_t need);
    bool header();
    bool inflateSome(const uchar *p, size_t n);

    Stage m_stage = Stage::Signature;
    uchar m_part[16];
    size_t m_have = 0;
    quint32 m_left = 0;
    bool m_idat = false;
    Header m_h;
    size_t m_stride = 0, m_filled = 0;
    std::vector<uchar> m_row, m_above;
    int m_y = 0;
    z_stream m_z{};
    bool m_inflating = false, m_ended = false, m_failed = false, m_done = false;
    QImage m_image;
};

bool RowDecoder::collect(const uchar *&p, size_t &n, size_t need)
{
    const size_t k = std::min(need - m_have, n);
    std::memcpy(m_part + m_have, p, k);
    m_have += k, p += k, n -= k;
    if (m_have < need)
        return false;
    m_have = 0;
    return true;
}

bool RowDecoder::feed(const uchar *p, size_t n)
{
    static const uchar signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    while (n && !m_failed && !m_done) {
        switch (m_stage) {
        case Stage::Signature:
            if (collect(p, n, 8)) {
                if (std::memcmp(m_part, signature, 8) != 0)
                    return m_failed = true, false;
                m_stage = Stage::ChunkHead;
            }
            break;
        case Stage::ChunkHead: {
            if (!collect(p, n, 8))
                break;
            m_left = qFromBigEndian<quint32>(m_part);
            const QByteArrayView type(reinterpret_cast<const char *>(m_part) + 4, 4);
            if (m_image.isNull() != (type == "IHDR") || (m_image.isNull() && m_left != 13))
                return m_failed = true, false;
            if (type == "IEND") {
                m_done = m_ended && m_y == m_h.height;
                return m_failed = !m_done, m_done;
            }
            m_idat = type == "IDAT";
            m_stage = m_image.isNull() ? Stage::Header : m_left ? Stage::Body : Stage::Crc;
            break;
        }
        case Stage::Header:
            if (collect(p, n, 13) && !header())
                return m_failed = true, false;
            break;
        case Stage::Body: {
            const size_t k = std::min<size_t>(m_left, n);
            if (m_idat && !inflateSome(p, k))
                return m_failed = true, false;
            p += k, n -= k, m_left -= quint32(k);
            if (!m_left)
                m_stage = Stage::Crc;
            break;
        }
        case Stage::Crc:
            if (collect(p, n, 4))
                m_stage = Stage::ChunkHead;
            break;
        }
    }
    return !m_failed;
}

bool RowDecoder::header()
{
    if (!readHeader(m_part, &m_h) || inflateInit(&m_z) != Z_OK)
        return false;
    m_inflating = true;
    m_image = ScreenCapture::freshImage(QSize(m_h.width, m_h.height));
    m_stride = 1 + size_t(m_h.width) * size_t(m_h.channels);
    m_row.assign(m_stride, 0);
    m_above.assign(m_stride, 0); // the row above the first: all zero
    m_stage = Stage::Crc;
    return !m_image.isNull();
}

bool RowDecoder::inflateSome(const uchar *p, size_t n)
{
    m_z.next_in = const_cast<uchar *>(p);
    m_z.avail_in = uInt(n);
    while (m_z.avail_in > 0) {
        // Past the stream's end, or past the last row, is data the picture cannot hold.
        uchar spare;
        const bool rowsLeft = m_y < m_h.height;
        m_z.next_out = rowsLeft ? m_row.data() + m_filled : &spare;
        m_z.avail_out = rowsLeft ? uInt(m_stride - m_filled) : 1;
        const int result = m_ended ? Z_DATA_ERROR : inflate(&m_z, Z_NO_FLUSH);
        m_ended = result == Z_STREAM_END;
        if ((result != Z_OK && !m_ended) || (!rowsLeft && m_z.avail_out == 0))
            return false;
        if (!rowsLeft || (m_filled = m_stride - m_z.avail_out) < m_stride)
            continue;
        auto *out = reinterpret_cast<QRgb *>(m_image.bits() + m_y * m_image.bytesPerLine());
        if (!(m_h.channels == 3 ? unfilterRow<3>(m_row[0], m_row.data() + 1, m_above.data() + 1, 0,
                                                 m_h.width, out)
                                : unfilterRow<4>(m_row[0], m_row.data() + 1, m_above.data() + 1, 0,
                                                 m_h.width, out)))
            return false;
        std::swap(m_row, m_above);
        m_filled = 0;
        ++m_y;
    }
    return true;
}

} // namespace

// Watches folders for files created there and decodes each as a picture while it is written,
// until it shows it is none. A file created and not yet written to may still become the
// picture, so every such file is followed, up to a few.
struct PictureWatch::Follower
{
    using Identity = std::pair<dev_t, ino_t>;
    struct Candidate
    {
        int fd;
        Identity identity;
        RowDecoder decoder;
    };
    static constexpr size_t kMaxCandidates = 8;

    int notify = -1, wake = -1;
    std::vector<std::pair<int, QByteArray>> folders; // by watch descriptor
    std::deque<QByteArray> created;
    std::vector<std::unique_ptr<Candidate>> candidates;
    // The file to finish, set before finishing.
    Identity wanted{};
    std::atomic<bool> finishing{false}, stopping{false};
    std::jthread worker;

    ~Follower()
    {
        stop(stopping);
        for (const auto &c : candidates)
            close(c->fd);
        for (const int fd : {notify, wake})
            if (fd >= 0)
                close(fd);
    }
    void stop(std::atomic<bool> &how)
    {
        how = true;
        if (wake >= 0)
            eventfd_write(wake, 1);
        if (worker.joinable())
            worker.join();
    }
    // Notes the files created since the last call.
    void noteCreated();
    void run();
};

void PictureWatch::Follower::noteCreated()
{
    alignas(inotify_event) char events[4096];
    for (ssize_t got; (got = read(notify, events, sizeof events)) > 0;) {
        for (char *at = events; at < events + got;) {
            const auto *e = reinterpret_cast<const inotify_event *>(at);
            at += sizeof(inotify_event) + e->len;
            if (!(e->mask & IN_CREATE) || (e->mask & IN_ISDIR) || !e->len)
                continue;
            for (const auto &[wd, folder] : folders)
                if (wd == e->wd)
                    created.push_back(folder + '/' + e->name);
        }
    }
}

void PictureWatch::Follower::run()
{
    std::vector<uchar> buffer(size_t(1) << 16);
    for (;;) {
        // Once told, after the writer finished, the files created and what a read finds in
        // them are all there is.
        const bool finish = finishing;
        noteCreated();
        for (; !created.empty(); created.pop_front()) {
            struct stat st;
            const int fd = openRegularFile(created.front().constData(), &st);
            if (fd >= 0 && candidates.size() < kMaxCandidates)
                candidates.push_back(
                    std::make_unique<Candidate>(fd, Identity(st.st_dev, st.st_ino)));
            else if (fd >= 0)
                close(fd);
        }
        for (auto it = candidates.begin(); it != candidates.end();) {
            Candidate &c = **it;
            ssize_t got = 0;
            while (!c.decoder.done() && (!finish || c.identity == wanted) &&
                   (got = read(c.fd, buffer.data(), buffer.size())) > 0 &&
                   c.decoder.feed(buffer.data(), size_t(got))) {
            }
            const bool keep = got >= 0 && !c.decoder.failed() && (!finish || c.identity == wanted);
            if (keep) {
                ++it;
            } else {
                close(c.fd);
                it = candidates.erase(it);
            }
        }
        if (finish || stopping)
            break;
        pollfd fds[] = {{notify, POLLIN, 0}, {wake, POLLIN, 0}};
        poll(fds, 2, -1);
    }
}

PictureWatch::PictureWatch(const QStringList &folders) : d(std::make_unique<Follower>())
{
    d->notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    d->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (d->notify < 0 || d->wake < 0)
        return;
    for (const QString &folder : folders) {
        const QByteArray path = QFile::encodeName(folder);
        const int wd =
            inotify_add_watch(d->notify, path.constData(), IN_CREATE | IN_MODIFY | IN_ONLYDIR);
        if (wd >= 0)
            d->folders.emplace_back(wd, path);
    }
    if (!d->folders.empty())
        d->worker = std::jthread([this] {
            // At the lowest priority: on a machine of few cores it would otherwise slow the
            // desktop writing the picture, which is what the user waits for.
            setpriority(PRIO_PROCESS, gettid(), 19);
            d->run();
        });
}

PictureWatch::~PictureWatch() = default;

QImage PictureWatch::take(const QString &file)
{
    struct stat st;
    if (stat(QFile::encodeName(file).constData(), &st) != 0) {
        d->stop(d->stopping);
        return {};
    }
    d->wanted = {st.st_dev, st.st_ino};
    d->stop(d->finishing);
    for (const auto &c : d->candidates)
        if (c->identity == d->wanted && c->decoder.done())
            return c->decoder.image();
    return {};
}

} // namespace PortalCapture
