#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>

// Input sent straight to a widget of this process, without a window system in between.
namespace testkit {

// A press holds `button` down, a move holds it without changing it (Qt::NoButton: a hover),
// a release lets go.
inline void mouse(QWidget *w, QEvent::Type type, QPointF p, Qt::MouseButton button = Qt::LeftButton)
{
    const bool move = type == QEvent::MouseMove, release = type == QEvent::MouseButtonRelease;
    QMouseEvent event(type, p, w->mapToGlobal(p), move ? Qt::NoButton : button,
                      release ? Qt::NoButton : button, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

inline void click(QWidget *w, QPointF p, Qt::MouseButton button = Qt::LeftButton)
{
    mouse(w, QEvent::MouseButtonPress, p, button);
    mouse(w, QEvent::MouseButtonRelease, p, button);
}

// Pressed at from, moved through the middle to to, released there.
inline void drag(QWidget *w, QPointF from, QPointF to)
{
    mouse(w, QEvent::MouseButtonPress, from);
    mouse(w, QEvent::MouseMove, (from + to) / 2);
    mouse(w, QEvent::MouseMove, to);
    mouse(w, QEvent::MouseButtonRelease, to);
}

// A bare key press: QTest's would add presses of the modifier keys and a shortcut pass.
inline void key(QWidget *w, int k, Qt::KeyboardModifiers mods = Qt::NoModifier, quint32 code = 0)
{
    QKeyEvent event(QEvent::KeyPress, k, mods, code, 0, 0);
    QApplication::sendEvent(w, &event);
}

// Typed as a person types, shortcut passes included, with Return for each line break.
inline void type(QWidget *w, const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(w, c == u'\n' ? '\r' : c.toLatin1());
}

// Clicks the cell of `tool` in a view's tools bar (a view with drawTools() and toolCell()).
template<class View, class Tool> void chooseTool(View *v, Tool tool)
{
    const auto &tools = View::drawTools();
    for (size_t i = 0; i < tools.size(); ++i) {
        if (tools[i].tool == tool)
            click(v, v->toolCell(int(i)).center());
    }
}

} // namespace testkit
