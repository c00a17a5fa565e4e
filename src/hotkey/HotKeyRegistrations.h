#pragma once

#include <functional>
#include <memory>

#include "hotkey/HotKey.h"

// A key grab on the X11 root window.
std::unique_ptr<HotKey::Registration> makeX11Registration(std::function<void()> onPressed);
// The desktop portal's global shortcuts, where the desktop offers them.
std::unique_ptr<HotKey::Registration> makePortalRegistration(std::function<void()> onPressed);
// KDE's global shortcut service, which KWin fires the shortcuts of.
std::unique_ptr<HotKey::Registration> makeKGlobalAccelRegistration(std::function<void()> onPressed);
