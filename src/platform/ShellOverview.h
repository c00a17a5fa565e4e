#pragma once

#include <functional>

class QObject;

// GNOME Shell shows a window made while its Activities overview is open as a thumbnail inside
// the overview, and a picture of the screen taken then shows the overview: a capture closes
// the overview first.
namespace ShellOverview {

// How long a capture waits for the shell to say that its overview has closed.
constexpr int kCloseTimeoutMs = 2000;

// Runs then on context's thread once GNOME Shell's overview is closed: at once, before
// returning, where the desktop is not GNOME Shell; otherwise after asking the shell whether
// the overview is open and, if it is, to close it, once the shell says it has or timeoutMs
// have passed. Never waits on the bus and never runs then after context is gone.
void closeThen(QObject *context, std::function<void()> then, int timeoutMs = kCloseTimeoutMs);

} // namespace ShellOverview
