// The hand and the eyes of the test desktops on sway and KWin, a client of wlroots' virtual
// pointer or of KWin's fake input; KWin admits it by a desktop file of the session
// (X-KDE-Wayland-Interfaces, X-KDE-DBUS-Restricted-Interfaces) as any program would be.
//   corvane_test_helper wallpaper FOLDER
// shows FOLDER/OUTPUT.png full screen on each output, pixel for pixel, under everything else;
//   corvane_test_helper
// reads lines and answers each with "ok" (or "ok JSON") once done: steps in xdotool's words
// (mousemove X Y | mousedown B | mouseup B | click B, in the layout's points), and on KWin
// "key CHORD" ("ctrl+c"), "shot FILE" (the whole layout at its highest scale,
// through KWin's screenshots, as a BMP) and "windows" (which a KWin script prints to its log).
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTemporaryFile>
#include <QTextStream>
#include <QThread>
#include <qpa/qplatformnativeinterface.h>

#include <cstring>
#include <functional>

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "fake-input-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

namespace {

// A picture full screen. Its second frame at full size comes once KWin has shown the first.
struct Wallpaper : QRasterWindow
{
    QImage picture;
    std::function<void()> onShown;
    int frames = 0;
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).drawImage(0, 0, picture);
        if (size() == screen()->size() && ++frames <= 2)
            frames == 1 ? requestUpdate() : onShown();
    }
};

// The evdev codes that type a key symbol on a US layout, Shift first for one on a key's second
// level; none for a symbol no key has.
QList<uint32_t> codes(xkb_keysym_t sym)
{
    static const xkb_rule_names us{nullptr, nullptr, "us", nullptr, nullptr};
    static xkb_keymap *keymap = xkb_keymap_new_from_names(xkb_context_new(XKB_CONTEXT_NO_FLAGS),
                                                          &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
    for (xkb_keycode_t k = xkb_keymap_min_keycode(keymap); k <= xkb_keymap_max_keycode(keymap); ++k)
        for (xkb_level_index_t level = 0; level < 2; ++level) {
            const xkb_keysym_t *syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, k, 0, level, &syms) > 0 && syms[0] == sym)
                return level ? QList<uint32_t>{KEY_LEFTSHIFT, k - 8} : QList<uint32_t>{k - 8};
        }
    return {};
}

class Hand
{
public:
    explicit Hand(wl_display *display) : m_display(display)
    {
        static const wl_registry_listener listener{
            [](void *data, wl_registry *r, uint32_t name, const char *interface, uint32_t) {
                auto *hand = static_cast<Hand *>(data);
                const auto bind = [&](auto **bound, const wl_interface &type, uint32_t version) {
                    if (std::strcmp(interface, type.name) == 0)
                        *bound = static_cast<std::remove_pointer_t<decltype(bound)>>(
                            wl_registry_bind(r, name, &type, version));
                };
                bind(&hand->m_input, org_kde_kwin_fake_input_interface, 4);
                bind(&hand->m_seat, wl_seat_interface, 1);
                bind(&hand->m_pointers, zwlr_virtual_pointer_manager_v1_interface, 1);
            },
            [](void *, wl_registry *, uint32_t) {}};
        wl_registry_add_listener(wl_display_get_registry(display), &listener, this);
        wl_display_roundtrip(display);
        if (m_input)
            org_kde_kwin_fake_input_authenticate(m_input, "corvane tests", "drives the tests");
        else if (m_seat && m_pointers)
            m_pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(m_pointers, m_seat);
    }
    bool ready() const { return m_input || m_pointer; }

    bool steps(const QStringList &words)
    {
        for (qsizetype i = 0; i < words.size(); i += 2) {
            const QString &step = words[i];
            const QString arg = words.value(i + 1);
            if (step == "mousemove" && i + 2 < words.size()) {
                // A quarter pixel into the named one: the compositor's scaling to the layout
                // may land a hair below a whole coordinate, and a client may round or truncate.
                move(arg.toInt() + 0.25, words[i + 2].toInt() + 0.25);
                ++i;
            } else if ((arg == "1" || arg == "3") &&
                       (step == "mousedown" || step == "mouseup" || step == "click")) {
                const uint32_t code = arg == "3" ? BTN_RIGHT : BTN_LEFT;
                if (step != "mouseup")
                    button(code, WL_POINTER_BUTTON_STATE_PRESSED);
                if (step == "click")
                    settle();
                if (step != "mousedown")
                    button(code, WL_POINTER_BUTTON_STATE_RELEASED);
            } else {
                return false;
            }
            settle();
        }
        return true;
    }

    // Holds the keys of a chord ("ctrl+c"), or one character, down in turn and lets them go;
    // KWin's fake input only.
    bool keys(const QString &chord)
    {
        static const QHash<QString, QString> modifiers{
            {"ctrl", "Control_L"}, {"shift", "Shift_L"}, {"alt", "Alt_L"}, {"super", "Super_L"}};
        QList<uint32_t> held;
        for (const QString &key : chord.split('+')) {
            const QList<uint32_t> typed =
                key.size() == 1 ? codes(xkb_utf32_to_keysym(key[0].unicode()))
                                : codes(xkb_keysym_from_name(
                                      modifiers.value(key.toLower(), key).toUtf8().constData(),
                                      XKB_KEYSYM_CASE_INSENSITIVE));
            if (typed.isEmpty() || !m_input)
                return false;
            held << typed;
        }
        for (uint32_t k : held)
            org_kde_kwin_fake_input_keyboard_key(m_input, k, WL_KEYBOARD_KEY_STATE_PRESSED);
        for (auto k = held.rbegin(); k != held.rend(); ++k)
            org_kde_kwin_fake_input_keyboard_key(m_input, *k, WL_KEYBOARD_KEY_STATE_RELEASED);
        settle();
        return true;
    }

private:
    static uint32_t now() { return uint32_t(QDeadlineTimer::current().deadline()); }
    void move(double x, double y)
    {
        // The virtual pointer's position is a fraction of the layout's extent.
        const QSize extent = QGuiApplication::primaryScreen()->virtualSize() * 4;
        if (m_input)
            org_kde_kwin_fake_input_pointer_motion_absolute(m_input, wl_fixed_from_double(x),
                                                            wl_fixed_from_double(y));
        else
            zwlr_virtual_pointer_v1_motion_absolute(m_pointer, now(), uint32_t(4 * x),
                                                    uint32_t(4 * y), extent.width(),
                                                    extent.height());
    }
    void button(uint32_t code, wl_pointer_button_state state)
    {
        if (m_input)
            org_kde_kwin_fake_input_button(m_input, code, state);
        else
            zwlr_virtual_pointer_v1_button(m_pointer, now(), code, state);
    }
    // The application sees each step as its own event, as from a hand.
    void settle()
    {
        if (m_pointer)
            zwlr_virtual_pointer_v1_frame(m_pointer);
        wl_display_roundtrip(m_display);
        usleep(30000);
    }

    wl_display *m_display;
    org_kde_kwin_fake_input *m_input = nullptr;
    wl_seat *m_seat = nullptr;
    zwlr_virtual_pointer_manager_v1 *m_pointers = nullptr;
    zwlr_virtual_pointer_v1 *m_pointer = nullptr;
};

// The whole workspace at the highest scale of its outputs, which KWin writes into a pipe once
// it has answered.
bool shot(const QString &file)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    // The call holds a copy of the pipe's end until it is gone, and the image ends where the
    // pipe does.
    const QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall("org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                       "org.kde.KWin.ScreenShot2", "CaptureWorkspace")
            << QVariantMap{{"native-resolution", true}}
            << QVariant::fromValue(QDBusUnixFileDescriptor(ends[1])),
        QDBus::Block, 10000);
    close(ends[1]);
    const QVariantMap r = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    QFile in;
    if (!in.open(ends[0], QIODevice::ReadOnly, QFile::AutoCloseHandle))
        close(ends[0]);
    const QByteArray data = in.readAll();
    const QImage image(reinterpret_cast<const uchar *>(data.constData()), r.value("width").toInt(),
                       r.value("height").toInt(), r.value("stride").toInt(),
                       QImage::Format(r.value("format").toInt()));
    return reply.type() == QDBusMessage::ReplyMessage && data.size() >= image.sizeInBytes() &&
           image.convertToFormat(QImage::Format_RGB32).save(file, "BMP");
}

// Every window as JSON, which a script loaded into KWin prints into KWin's log.
QByteArray windows()
{
    QTemporaryFile script(QDir::tempPath() + "/windows-XXXXXX.js");
    QFile log(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/kwin.log");
    if (!script.open() || !log.open(QIODevice::ReadOnly) || !log.seek(log.size()))
        return {};
    script.write(R"(print("corvane-windows", JSON.stringify(workspace.clientList().map(w => [
    w.resourceClass, w.frameGeometry.x, w.frameGeometry.y, w.frameGeometry.width,
    w.frameGeometry.height, w.active, w.fullScreen])));
)");
    script.close();
    const auto scripting = [](const QString &method, const QVariantList &args = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.kde.KWin", "/Scripting",
                                                           "org.kde.kwin.Scripting", method);
        call.setArguments(args);
        QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    };
    scripting("loadScript", {script.fileName(), "corvane-windows"});
    // Runs every script loaded and not yet running: this one.
    scripting("start");
    const QByteArray mark = "js: corvane-windows ";
    QByteArray written, found;
    for (QDeadlineTimer deadline(5000); found.isEmpty() && !deadline.hasExpired();) {
        QThread::msleep(10);
        written += log.readAll();
        const qsizetype at = written.indexOf(mark), end = written.indexOf('\n', at);
        if (at >= 0 && end > at)
            found = written.mid(at + mark.size(), end - at - mark.size());
    }
    scripting("unloadScript", {"corvane-windows"});
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) == "wallpaper") {
        qsizetype shown = 0;
        for (QScreen *screen : app.screens()) {
            auto *w = new Wallpaper;
            if (!w->picture.load(args.value(1) + '/' + screen->name() + ".png"))
                return 1;
            w->picture.setDevicePixelRatio(screen->devicePixelRatio());
            w->onShown = [&] {
                if (++shown == app.screens().size())
                    QTextStream(stdout) << "shown" << Qt::endl;
            };
            w->setScreen(screen);
            w->setGeometry(screen->geometry());
            w->showFullScreen();
        }
        return app.exec();
    }
    Hand hand(static_cast<wl_display *>(
        app.platformNativeInterface()->nativeResourceForIntegration("wl_display")));
    if (!hand.ready())
        return 1;
    QTextStream in(stdin), out(stdout);
    QString line;
    while (in.readLineInto(&line)) {
        const QString word = line.section(' ', 0, 0), rest = line.section(' ', 1);
        QByteArray answer;
        bool ok = false;
        if (word == "key")
            ok = hand.keys(rest);
        else if (word == "shot")
            ok = shot(rest);
        else if (word == "windows")
            ok = !(answer = windows()).isEmpty();
        else
            ok = hand.steps(line.split(' ', Qt::SkipEmptyParts));
        out << (ok ? "ok" : "failed") << (answer.isEmpty() ? "" : " ") << answer << Qt::endl;
    }
    return 0;
}
