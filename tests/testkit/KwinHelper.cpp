// The hand and the eyes of the test desktop on KWin, admitted by a desktop file of the
// session (X-KDE-Wayland-Interfaces, X-KDE-DBUS-Restricted-Interfaces) as any program would be:
//   corvane_test_kwin wallpaper OUTPUT=PICTURE...
// shows each picture full screen on its output, pixel for pixel, under everything else;
//   corvane_test_kwin
// reads lines and answers each with "ok" (or "ok JSON") once done: steps in xdotool's words
// (mousemove X Y | mousedown B | mouseup B | click B, in the layout's points), "key CHORD"
// ("ctrl+c"), "type TEXT", "shot FILE" (the whole layout at its highest scale, through KWin's
// screenshots) and "windows" (every window, through a KWin script that calls back here).
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QTemporaryFile>
#include <QTextStream>
#include <QTimer>
#include <qpa/qplatformnativeinterface.h>

#include <cstring>

#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "fake-input-client-protocol.h"

namespace {

class Wallpaper : public QRasterWindow
{
public:
    explicit Wallpaper(QImage picture) : m_picture(std::move(picture)) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        m_picture.setDevicePixelRatio(devicePixelRatio());
        QPainter(this).drawImage(0, 0, m_picture);
    }

private:
    QImage m_picture;
};

org_kde_kwin_fake_input *fakeInput(wl_display *display)
{
    static org_kde_kwin_fake_input *bound = nullptr;
    wl_registry *registry = wl_display_get_registry(display);
    static const wl_registry_listener listener{
        [](void *, wl_registry *r, uint32_t name, const char *interface, uint32_t) {
            if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0)
                bound = static_cast<org_kde_kwin_fake_input *>(
                    wl_registry_bind(r, name, &org_kde_kwin_fake_input_interface, 4));
        },
        [](void *, wl_registry *, uint32_t) {}};
    wl_registry_add_listener(registry, &listener, nullptr);
    wl_display_roundtrip(display);
    if (bound)
        org_kde_kwin_fake_input_authenticate(bound, "corvane tests", "drives the tests");
    return bound;
}

class Keys
{
public:
    Keys()
    {
        xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names us{nullptr, nullptr, "us", nullptr, nullptr};
        m_keymap = xkb_keymap_new_from_names(context, &us, XKB_KEYMAP_COMPILE_NO_FLAGS);
    }
    // The evdev code typing a key symbol on a US layout, and whether with Shift; 0 for none.
    uint32_t code(xkb_keysym_t sym, bool *shift) const
    {
        for (xkb_keycode_t k = xkb_keymap_min_keycode(m_keymap);
             k <= xkb_keymap_max_keycode(m_keymap); ++k) {
            for (xkb_level_index_t level = 0; level < 2; ++level) {
                const xkb_keysym_t *syms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(m_keymap, k, 0, level, &syms) > 0 &&
                    syms[0] == sym) {
                    *shift = level == 1;
                    return k - 8;
                }
            }
        }
        return 0;
    }

private:
    xkb_keymap *m_keymap = nullptr;
};

uint32_t modifier(const QString &name)
{
    const QString n = name.toLower();
    return n == "ctrl"    ? KEY_LEFTCTRL
           : n == "shift" ? KEY_LEFTSHIFT
           : n == "alt"   ? KEY_LEFTALT
           : n == "super" ? KEY_LEFTMETA
                          : 0;
}

class Hand
{
public:
    explicit Hand(wl_display *display) : m_display(display), m_input(fakeInput(display)) {}
    bool ready() const { return m_input; }

    bool steps(const QStringList &words)
    {
        for (qsizetype i = 0; i < words.size(); i += 2) {
            const QString &step = words[i];
            if (step == "mousemove" && i + 2 < words.size()) {
                // A quarter pixel into the named one, as a client may round or truncate.
                org_kde_kwin_fake_input_pointer_motion_absolute(
                    m_input, wl_fixed_from_double(words[i + 1].toInt() + 0.25),
                    wl_fixed_from_double(words[i + 2].toInt() + 0.25));
                ++i;
            } else if (step == "mousedown" || step == "mouseup" || step == "click") {
                const uint32_t button = words.value(i + 1) == "3" ? BTN_RIGHT : BTN_LEFT;
                if (step != "mouseup")
                    org_kde_kwin_fake_input_button(m_input, button,
                                                   WL_POINTER_BUTTON_STATE_PRESSED);
                if (step == "click")
                    settle();
                if (step != "mousedown")
                    org_kde_kwin_fake_input_button(m_input, button,
                                                   WL_POINTER_BUTTON_STATE_RELEASED);
            } else {
                return false;
            }
            settle();
        }
        return true;
    }

    bool chord(const QString &text)
    {
        QStringList parts = text.split('+');
        const QString last = parts.takeLast();
        QList<uint32_t> held;
        for (const QString &part : parts)
            held << modifier(part);
        uint32_t key = modifier(last);
        bool shift = false;
        if (!key)
            key = m_keys.code(
                xkb_keysym_from_name(last.toUtf8().constData(), XKB_KEYSYM_CASE_INSENSITIVE),
                &shift);
        if (shift)
            held << KEY_LEFTSHIFT;
        if (held.contains(0) || !key)
            return false;
        press(held, key);
        return true;
    }

    bool type(const QString &text)
    {
        for (const uint ch : text.toUcs4()) {
            bool shift = false;
            const uint32_t key = m_keys.code(xkb_utf32_to_keysym(ch), &shift);
            if (!key)
                return false;
            press(shift ? QList<uint32_t>{KEY_LEFTSHIFT} : QList<uint32_t>{}, key);
        }
        return true;
    }

private:
    void press(const QList<uint32_t> &held, uint32_t key)
    {
        for (uint32_t m : held)
            org_kde_kwin_fake_input_keyboard_key(m_input, m, WL_KEYBOARD_KEY_STATE_PRESSED);
        org_kde_kwin_fake_input_keyboard_key(m_input, key, WL_KEYBOARD_KEY_STATE_PRESSED);
        org_kde_kwin_fake_input_keyboard_key(m_input, key, WL_KEYBOARD_KEY_STATE_RELEASED);
        for (auto m = held.rbegin(); m != held.rend(); ++m)
            org_kde_kwin_fake_input_keyboard_key(m_input, *m, WL_KEYBOARD_KEY_STATE_RELEASED);
        settle();
    }
    // The application sees each step as its own event, as from a hand.
    void settle()
    {
        wl_display_roundtrip(m_display);
        usleep(30000);
    }

    wl_display *m_display;
    org_kde_kwin_fake_input *m_input;
    Keys m_keys;
};

// The whole workspace at the highest scale of its outputs, read from KWin's pipe.
bool shot(const QString &file)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return false;
    QDBusMessage call =
        QDBusMessage::createMethodCall("org.kde.KWin", "/org/kde/KWin/ScreenShot2",
                                       "org.kde.KWin.ScreenShot2", "CaptureWorkspace");
    call << QVariantMap{{"native-resolution", true}}
         << QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]));
    close(ends[1]);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 10000);
    const QVariantMap r = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    QImage image(r.value("width").toInt(), r.value("height").toInt(),
                 QImage::Format(r.value("format").toInt()));
    QFile in;
    bool ok = reply.type() == QDBusMessage::ReplyMessage && !image.isNull() &&
              image.bytesPerLine() == r.value("stride").toInt() &&
              in.open(ends[0], QIODevice::ReadOnly, QFile::AutoCloseHandle);
    for (qsizetype done = 0; ok && done < image.sizeInBytes();) {
        const qint64 n =
            in.read(reinterpret_cast<char *>(image.bits()) + done, image.sizeInBytes() - done);
        ok = n > 0;
        done += n;
    }
    if (!in.isOpen())
        close(ends[0]);
    return ok && image.convertToFormat(QImage::Format_RGB32).save(file, "BMP");
}

// Receives what the script below sends.
class Windows : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.corvane.test.Kwin")

public:
    QString list()
    {
        QTemporaryFile script(QDir::tempPath() + "/windows-XXXXXX.js");
        if (!script.open())
            return {};
        script.write(R"(const found = workspace.clientList().map(w => [w.resourceClass,
    w.frameGeometry.x, w.frameGeometry.y, w.frameGeometry.width, w.frameGeometry.height,
    w.active, w.fullScreen]);
callDBus("org.corvane.test.Kwin", "/", "org.corvane.test.Kwin", "take", JSON.stringify(found));
)");
        script.close();
        QDBusConnection bus = QDBusConnection::sessionBus();
        const auto scripting = [&](const QString &path, const QString &interface,
                                   const QString &method, const QVariantList &args = {}) {
            QDBusMessage call =
                QDBusMessage::createMethodCall("org.kde.KWin", path, interface, method);
            call.setArguments(args);
            return bus.call(call, QDBus::Block, 5000).arguments().value(0);
        };
        const QString name = "corvane-windows";
        scripting("/Scripting", "org.kde.kwin.Scripting", "unloadScript", {name});
        scripting("/Scripting", "org.kde.kwin.Scripting", "loadScript", {script.fileName(), name});
        m_found.clear();
        QEventLoop loop;
        connect(this, &Windows::taken, &loop, &QEventLoop::quit);
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        // Runs every script loaded and not yet running: this one.
        scripting("/Scripting", "org.kde.kwin.Scripting", "start");
        loop.exec();
        scripting("/Scripting", "org.kde.kwin.Scripting", "unloadScript", {name});
        return m_found;
    }

public slots:
    Q_SCRIPTABLE void take(const QString &json)
    {
        m_found = json;
        emit taken();
    }

signals:
    void taken();

private:
    QString m_found;
};

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.value(0) == "wallpaper") {
        QList<Wallpaper *> shown;
        for (const QString &arg : args.mid(1)) {
            const QString output = arg.section('=', 0, 0);
            for (QScreen *screen : app.screens()) {
                if (screen->name() != output)
                    continue;
                auto *w = new Wallpaper(QImage(arg.section('=', 1)));
                w->setScreen(screen);
                w->setGeometry(screen->geometry());
                w->showFullScreen();
                shown << w;
            }
        }
        if (shown.size() != args.size() - 1)
            return 1;
        // Said once the windows have had time to take their places and paint.
        QTimer::singleShot(500, [] { QTextStream(stdout) << "shown" << Qt::endl; });
        return app.exec();
    }
    auto *display = static_cast<wl_display *>(
        app.platformNativeInterface()->nativeResourceForIntegration("wl_display"));
    Hand hand(display);
    Windows windows;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!hand.ready() || !bus.registerService("org.corvane.test.Kwin") ||
        !bus.registerObject("/", &windows, QDBusConnection::ExportScriptableSlots))
        return 1;
    QTextStream in(stdin), out(stdout);
    QString line;
    while (in.readLineInto(&line)) {
        const QString word = line.section(' ', 0, 0), rest = line.section(' ', 1);
        QString answer;
        bool ok = false;
        if (word == "key")
            ok = hand.chord(rest);
        else if (word == "type")
            ok = hand.type(rest);
        else if (word == "shot")
            ok = shot(rest);
        else if (word == "windows")
            ok = !(answer = windows.list()).isEmpty();
        else
            ok = hand.steps(line.split(' ', Qt::SkipEmptyParts));
        out << (ok ? "ok" : "failed") << (answer.isEmpty() ? "" : " ") << answer << Qt::endl;
    }
    return 0;
}

#include "KwinHelper.moc"
