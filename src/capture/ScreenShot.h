#pragma once

#include <QImage>
#include <QPointer>
#include <QScreen>

// One display frozen at the moment of capture. The image is in device pixels; its width
// divided by the screen's geometry width is the display's pixel scale.
struct ScreenShot
{
    QPointer<QScreen> screen;
    QImage image;
};
