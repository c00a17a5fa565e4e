#pragma once

#include <optional>

#include <QImage>

#include <xcb/xcb.h>

// How the server lays out one pixel of a screen's ZPixmap image, reduced to what a copy into
// a Format_RGB32 image needs. Only 32 bits per pixel with 8-bit red, green and blue channels
// is handled; other layouts are left to Qt's own grab.
struct PixelLayout
{
    // The server's image byte order differs from this machine's.
    bool swapBytes = false;
    // Red sits in the low byte of the pixel value (a BGR visual).
    bool swapRedBlue = false;

    static std::optional<PixelLayout> of(const xcb_setup_t *setup, const xcb_screen_t *screen);

    // Converts rowCount rows of ZPixmap data (srcStride bytes apart) into dst's rows from
    // firstRow on. dst must be Format_RGB32 and the source at least as wide; every pixel
    // comes out opaque, as Format_RGB32 requires.
    void copyRows(const uchar *src, qsizetype srcStride, QImage &dst, int firstRow,
                  int rowCount) const;
};
