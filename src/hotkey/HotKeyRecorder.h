#pragma once

#include <QWidget>

#include <functional>

#include "hotkey/HotKeyCombo.h"

// The field in which the user presses the wanted capture shortcut. It takes only usable
// combinations and tells its owner whether the last key press was taken or refused; it
// registers nothing with the system.
class HotKeyRecorder : public QWidget
{
    Q_OBJECT
public:
    explicit HotKeyRecorder(const HotKeyCombo &combo, QWidget *parent = nullptr);

    HotKeyCombo combo() const { return m_combo; }
    void setCombo(const HotKeyCombo &combo);

    // Called after a refused key press (the shown combination stays).
    std::function<void()> onInvalid;
    // Called after an accepted key press, also when it repeats the shown combination.
    std::function<void()> onChange;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    bool event(QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    HotKeyCombo m_combo;
};
