#pragma once

#include <QImage>
#include <QWidget>

#include <functional>

#include "capture/ScreenShot.h"

// A borderless window over one whole display showing that display's frozen image.
class OverlayWindow : public QWidget
{
    Q_OBJECT
public:
    explicit OverlayWindow(const ScreenShot &shot);

    std::function<void()> onEscape;

    void showOverlay();
    void takeKeyboard();
    const ScreenShot &shot() const { return m_shot; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    ScreenShot m_shot;
};
