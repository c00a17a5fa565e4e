#!/usr/bin/python3
# The GNOME test desktop's hands and eyes, run inside its session: mutter's remote-desktop
# API for the pointer and the keyboard, the shell's own calls for its windows and the
# screen. One command a line on stdin, one answer a line on stdout ("ok ...", or "error").
#   STEPS                  the pointer's, in xdotool's words (mousemove X Y | mousedown B |
#                          mouseup B | click B) in the layout's points, where monitor I
#                          (Meta-I) is argv[I + 1], X:SCALE: its left edge and its scale
#   key CHORD              such as ctrl+c or Escape
#   windows                JSON: [[wm class, x, y, w, h, focused, full screen], ...] in pixels
#   shot FILE              the whole screen as a PNG
import json
import sys
import time

from gi.repository import Gio, GLib

bus = Gio.bus_get_sync(Gio.BusType.SESSION)


def call(name, path, iface, method, args=None, sig=None):
    return bus.call_sync(name, path, iface, method, GLib.Variant(sig, args) if sig else None,
                         None, Gio.DBusCallFlags.NONE, 10000, None).unpack()


def shell(code):
    ok, out = call("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell", "Eval", (code,), "(s)")
    if not ok:
        raise RuntimeError(out)
    return out


MUTTER = "org.gnome.Mutter."
rd_path = call(MUTTER + "RemoteDesktop", "/org/gnome/Mutter/RemoteDesktop",
               MUTTER + "RemoteDesktop", "CreateSession")[0]
rd_id = call(MUTTER + "RemoteDesktop", rd_path, "org.freedesktop.DBus.Properties", "Get",
             (MUTTER + "RemoteDesktop.Session", "SessionId"), "(ss)")[0]
# Absolute motion is given in the pixels of a stream recording the monitor.
sc_path = call(MUTTER + "ScreenCast", "/org/gnome/Mutter/ScreenCast", MUTTER + "ScreenCast",
               "CreateSession", ({"remote-desktop-session-id": GLib.Variant("s", rd_id)},),
               "(a{sv})")[0]
MONITORS = [tuple(map(int, arg.split(":"))) for arg in sys.argv[1:]]
streams = [call(MUTTER + "ScreenCast", sc_path, MUTTER + "ScreenCast.Session", "RecordMonitor",
                ("Meta-%d" % i, {}), "(sa{sv})")[0] for i in range(len(MONITORS))]


def rd(method, args, sig):
    call(MUTTER + "RemoteDesktop", rd_path, MUTTER + "RemoteDesktop.Session", method, args, sig)


rd("Start", None, None)

BUTTONS = {"1": 0x110, "3": 0x111}  # BTN_LEFT, BTN_RIGHT
# Linux input codes of a US keyboard; a character on a key's second level takes Shift.
KEYS = {"Escape": 1, "Return": 28, "ctrl": 29, "shift": 42, "space": 57, "super": 125}
for row, first in (("1234567890-=", 2), ("qwertyuiop[]", 16), ("asdfghjkl;'`", 30),
                   ("\\zxcvbnm,./", 43), ("!@#$%^&*()_+", 2), ("QWERTYUIOP{}", 16),
                   ('ASDFGHJKL:"~', 30), ("|ZXCVBNM<>?", 43)):
    for i, c in enumerate(row):
        KEYS.setdefault(c, first + i)
SHIFTED = set("!@#$%^&*()_+QWERTYUIOP{}ASDFGHJKL:\"~|ZXCVBNM<>?")
# The seat takes a new keyboard's first keys before it knows the keyboard, and loses them.
for state in (True, False):
    rd("NotifyKeyboardKeycode", (KEYS["shift"], state), "(ub)")
time.sleep(0.3)


def chord(names):
    codes = [KEYS[n] for n in names]
    if names[-1] in SHIFTED:
        codes.insert(-1, KEYS["shift"])
    for c in codes:
        rd("NotifyKeyboardKeycode", (c, True), "(ub)")
    for c in reversed(codes):
        rd("NotifyKeyboardKeycode", (c, False), "(ub)")


def steps(words):
    while words:
        step, arg = words.pop(0), words.pop(0)
        if step == "mousemove":
            # To the monitor under the point, in its pixels.
            x, y = int(arg), int(words.pop(0))
            i = max(i for i, (left, _) in enumerate(MONITORS) if i == 0 or x >= left)
            left, scale = MONITORS[i]
            rd("NotifyPointerMotionAbsolute",
               (streams[i], float((x - left) * scale), float(y * scale)), "(sdd)")
        elif step in ("mousedown", "mouseup", "click"):
            for state in ((True,) if step == "mousedown" else (False,) if step == "mouseup"
                          else (True, False)):
                rd("NotifyPointerButton", (BUTTONS[arg], state), "(ib)")
        else:
            raise ValueError("unknown step " + step)
        # The shell sees each step as its own event, as from a hand.
        time.sleep(0.03)


# Mapped windows only: the shell lists a window before its first frame, at 0x0.
WINDOWS = """JSON.stringify(global.get_window_actors().map(a => a.meta_window).filter(w =>
    !w.is_hidden() && w.get_frame_rect().width > 0).map(w => {
    const r = w.get_frame_rect();
    return [w.get_wm_class(), r.x, r.y, r.width, r.height, w.has_focus(), w.is_fullscreen()];
}))"""

for line in sys.stdin:
    word, _, rest = line.rstrip("\n").partition(" ")
    answer = "ok"
    try:
        if word in ("mousemove", "mousedown", "mouseup", "click"):
            steps(line.split())
        elif word == "key":
            chord(rest.split("+"))
        elif word == "windows":
            answer += " " + json.loads(shell(WINDOWS))
        elif word == "shot":
            answer = "ok" if call("org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                                  "org.gnome.Shell.Screenshot", "Screenshot",
                                  (False, False, rest), "(bbs)")[0] else "error"
        else:
            answer = "error unknown command"
    except (GLib.Error, RuntimeError, KeyError, ValueError, IndexError) as e:
        answer = "error " + str(e).replace("\n", " ")
    print(answer, flush=True)
