#include "capture/PixelLayout.h"

#include <QtEndian>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const xcb_visualtype_t *rootVisual(const xcb_screen_t *screen)
{
    for (auto depths = xcb_screen_allowed_depths_iterator(screen); depths.rem;
         xcb_depth_next(&depths)) {
        if (depths.data->depth != screen->root_depth)
            continue;
        for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem;
             xcb_visualtype_next(&visuals)) {
            if (visuals.data->visual_id == screen->root_visual)
                return visuals.data;
        }
    }
    return nullptr;
}

int bitsPerPixel(const xcb_setup_t *setup, uint8_t depth)
{
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem;
         xcb_format_next(&formats)) {
        if (formats.data->depth == depth)
            return formats.data->bits_per_pixel;
    }
    return 0;
}

template<bool SwapBytes, bool SwapRedBlue> inline quint32 convertPixel(quint32 v)
{
    if constexpr (SwapBytes)
        v = qbswap(v);
    if constexpr (SwapRedBlue)
        v = (v & 0x00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
    return v | 0xff000000u;
}

// Eight pixels loaded before eight are stored lets the compiler convert them in vector
// registers at -O2, without run-time alias checks.
template<bool SwapBytes, bool SwapRedBlue>
void convertRow(const quint32 *__restrict src, quint32 *__restrict dst, int width)
{
    constexpr int step = 8;
    int x = 0;
    for (; x + step <= width; x += step) {
        quint32 block[step];
        for (int i = 0; i < step; ++i)
            block[i] = src[x + i];
        for (int i = 0; i < step; ++i)
            dst[x + i] = convertPixel<SwapBytes, SwapRedBlue>(block[i]);
    }
    for (; x < width; ++x)
        dst[x] = convertPixel<SwapBytes, SwapRedBlue>(src[x]);
}

#if defined(__SSE2__)
// The common layout only needs the padding byte made opaque. Streaming stores skip loading
// each destination line into the cache before overwriting it, which brings the copy to the
// speed of memcpy on large screens.
template<>
void convertRow<false, false>(const quint32 *__restrict src, quint32 *__restrict dst, int width)
{
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    int x = 0;
    for (; x < width && (quintptr(dst + x) & 15); ++x)
        dst[x] = src[x] | 0xff000000u;
    for (; x + 4 <= width; x += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x));
        _mm_stream_si128(reinterpret_cast<__m128i *>(dst + x), _mm_or_si128(v, opaque));
    }
    for (; x < width; ++x)
        dst[x] = src[x] | 0xff000000u;
}
#endif

template<bool SwapBytes, bool SwapRedBlue>
void convertRows(const uchar *src, qsizetype srcStride, QImage &dst, int firstRow, int rowCount)
{
    const int width = dst.width();
    const qsizetype dstStride = dst.bytesPerLine();
    uchar *out = dst.bits() + firstRow * dstStride;
    for (int row = 0; row < rowCount; ++row) {
        convertRow<SwapBytes, SwapRedBlue>(reinterpret_cast<const quint32 *>(src + row * srcStride),
                                           reinterpret_cast<quint32 *>(out + row * dstStride),
                                           width);
    }
}

} // namespace

std::optional<PixelLayout> PixelLayout::of(const xcb_setup_t *setup, const xcb_screen_t *screen)
{
    if (bitsPerPixel(setup, screen->root_depth) != 32)
        return std::nullopt;
    const xcb_visualtype_t *visual = rootVisual(screen);
    if (!visual || (visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR &&
                    visual->_class != XCB_VISUAL_CLASS_DIRECT_COLOR))
        return std::nullopt;
    PixelLayout layout;
    if (visual->red_mask == 0xff0000u && visual->green_mask == 0xff00u &&
        visual->blue_mask == 0xffu)
        layout.swapRedBlue = false;
    else if (visual->red_mask == 0xffu && visual->green_mask == 0xff00u &&
             visual->blue_mask == 0xff0000u)
        layout.swapRedBlue = true;
    else
        return std::nullopt;
    const bool serverLittle = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
    layout.swapBytes = serverLittle != (Q_BYTE_ORDER == Q_LITTLE_ENDIAN);
    return layout;
}

void PixelLayout::copyRows(const uchar *src, qsizetype srcStride, QImage &dst, int firstRow,
                           int rowCount) const
{
    if (swapBytes && swapRedBlue)
        convertRows<true, true>(src, srcStride, dst, firstRow, rowCount);
    else if (swapBytes)
        convertRows<true, false>(src, srcStride, dst, firstRow, rowCount);
    else if (swapRedBlue)
        convertRows<false, true>(src, srcStride, dst, firstRow, rowCount);
    else
        convertRows<false, false>(src, srcStride, dst, firstRow, rowCount);
#if defined(__SSE2__)
    _mm_sfence();
#endif
}
