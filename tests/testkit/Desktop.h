#pragma once

#include <QApplication>
#include <QImage>
#include <QList>
#include <QRect>

#include <functional>
#include <memory>
#include <optional>

#include "testkit/RootPattern.h"
#include "testkit/AppProcess.h"

namespace testkit {

// Pointer steps that move to p, in the layout's points.
inline QStringList at(QPoint p)
{
    return {"mousemove", QString::number(p.x()), QString::number(p.y())};
}

// The desktop an end-to-end test drives the application on as a person would: two outputs
// side by side showing a pattern in which every pixel tells its position, a pointer, keys
// and a clipboard that another program reads. Xvfb with two monitors or, built with
// CORVANE_WAYLAND, sway with outputs at scale 1 and 2.
class Desktop
{
public:
    struct Output
    {
        QRect rect; // in the layout's points
        int scale;  // pixels per point
        // The pattern's position at the output's top-left pixel, and whether it is inverted.
        QPoint patternOrigin;
        bool inverted;
        // Read back through a render of the whole layout at scale 2, where a pixel beside one
        // of the pattern's steps may come out a blend of its neighbours.
        bool blended;
        QRgb shows(QPoint pixel) const
        {
            return RootPattern::at(patternOrigin.x() + pixel.x(), patternOrigin.y() + pixel.y(),
                                   inverted);
        }
    };
    struct Window
    {
        QRect rect;
        bool focused;
        QString id; // the X11 window's
    };

    static std::unique_ptr<Desktop> start(QString *error);
    virtual ~Desktop() = default;

    const QList<Output> outputs;
    // The application with its own home, not yet started.
    virtual AppProcess app() = 0;
    // Once the started application takes requests, asks it for a capture the way this
    // desktop offers: the hotkey, or a second launch where there are no global shortcuts.
    virtual bool requestCapture(AppProcess &app) = 0;
    // The application's overlays, left to right.
    virtual QList<Window> overlays() const = 0;
    // Steps in xdotool's words: "mousemove" X Y (in points), "mousedown" 1, "click" 3, ...
    virtual bool pointer(const QStringList &steps) const = 0;
    // One chord, such as "ctrl+c" or "Escape".
    virtual bool keys(const QString &chord) const = 0;
    virtual QByteArray clipboard(const QString &mimeType) const = 0;
    // The whole layout at its highest scale.
    virtual QImage screen() const = 0;
    virtual int run(const QString &program, const QStringList &args,
                    QByteArray *out = nullptr) const = 0;
    // What a program run there prints.
    QByteArray output(const QString &program, const QStringList &args) const
    {
        QByteArray out;
        run(program, args, &out);
        return out;
    }
    // The application's floating windows, such as the tray item's menu or a dialog.
    virtual QList<Window> menus() const = 0;
#ifndef CORVANE_WAYLAND
    virtual bool type(const QString &text) const = 0;
    // The tray icon, once the tray shows it.
    virtual std::optional<Window> trayIcon() const = 0;
    // Pops the status menu up from the tray icon and picks a row with the keyboard, until
    // done() holds. A menu takes keys only some time after it maps, longer on a loaded
    // machine, so a pick that had no effect is tried again with a longer pause.
    virtual bool fromTrayMenu(const QStringList &keys, const std::function<bool()> &done,
                              Window *menu = nullptr) const = 0;
#endif

protected:
    explicit Desktop(QList<Output> outputs) : outputs(std::move(outputs)) {}
};

} // namespace testkit

// A main() for a suite constructed with the desktop this build drives, started before it.
#define CORVANE_DESKTOP_TEST_MAIN(TestClass)                                                       \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        QString error;                                                                             \
        const std::unique_ptr<testkit::Desktop> desktop = testkit::Desktop::start(&error);         \
        if (!desktop)                                                                              \
            qFatal("the desktop did not start: %s", qPrintable(error));                            \
        QApplication app(argc, argv);                                                              \
        TestClass test(*desktop);                                                                  \
        return QTest::qExec(&test, argc, argv);                                                    \
    }
