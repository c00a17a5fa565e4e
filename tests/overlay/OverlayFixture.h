#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "overlay/OverlaySession.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "settings/AppSettings.h"

// In-process overlay sessions on the offscreen platform: two screens side by side, 1440x900
// and 1280x800, fed with drawn test pictures (the offscreen grab is not a real screen).
namespace overlayfixture {

// Areas, edges and a gradient, so that a wrong pixel shows.
inline QImage picture(QSize pixels, int seed)
{
    QImage image(pixels, QImage::Format_RGB32);
    QPainter p(&image);
    QLinearGradient g(0, 0, pixels.width(), pixels.height());
    g.setColorAt(0, QColor::fromHsv(seed * 70 % 360, 120, 230));
    g.setColorAt(1, QColor::fromHsv((seed * 70 + 150) % 360, 200, 120));
    p.fillRect(image.rect(), g);
    for (int i = 0; i < 40; ++i)
        p.fillRect((i * 97) % pixels.width(), (i * 61) % pixels.height(), 40 + i, 20 + i,
                   QColor::fromHsv(i * 37 % 360, 200, 100 + i * 3));
    return image;
}

class Delegate : public OverlaySessionDelegate
{
public:
    void overlaySessionDidClose(OverlaySession *) override { ++closed; }
    int closed = 0;
};

struct Session
{
    QTemporaryDir dir;
    std::unique_ptr<AppSettings> settings;
    std::unique_ptr<OverlaySession> session;
    Delegate delegate;

    explicit Session(qreal imageScale = 1)
    {
        settings = std::make_unique<AppSettings>(
            std::make_unique<QSettings>(dir.filePath("corvane.conf"), QSettings::IniFormat));
        open(imageScale);
    }
    void open(qreal imageScale = 1)
    {
        QList<ScreenShot> shots;
        int seed = 0;
        for (QScreen *screen : QGuiApplication::screens())
            shots.append({screen, picture(screen->geometry().size() * imageScale, ++seed)});
        session = std::make_unique<OverlaySession>(shots, *settings);
        session->delegate = &delegate;
    }
    OverlayView *view(int i) const { return session->windows().at(i)->overlayView(); }
};

inline void mouse(QWidget *w, QEvent::Type type, QPointF p, Qt::MouseButton button,
                  Qt::MouseButtons held, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, held, mods);
    QApplication::sendEvent(w, &event);
}
inline void press(QWidget *w, QPointF p, Qt::MouseButton b = Qt::LeftButton)
{
    mouse(w, QEvent::MouseButtonPress, p, b, b);
}
inline void moveTo(QWidget *w, QPointF p, bool held)
{
    mouse(w, QEvent::MouseMove, p, Qt::NoButton, held ? Qt::LeftButton : Qt::NoButton);
}
inline void release(QWidget *w, QPointF p)
{
    mouse(w, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
}
inline void drag(QWidget *w, QPointF from, QPointF to)
{
    press(w, from);
    moveTo(w, (from + to) / 2, true);
    moveTo(w, to, true);
    release(w, to);
}
inline void key(QWidget *w, int k, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QKeyEvent event(QEvent::KeyPress, k, mods);
    QApplication::sendEvent(w, &event);
}

} // namespace overlayfixture
