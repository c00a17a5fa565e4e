#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QFile>
#include <QGuiApplication>
#include <QKeySequence>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "capture/ScreenCapture.h"
#include "hotkey/HotKey.h"
#include "hotkey/HotKeyRegistrations.h"
#include "platform/DesktopPortal.h"
#include "platform/PlatformLoader.h"
#include "platform/WindowList.h"
#include "testkit/PortalBus.h"

namespace {

using Shortcuts = QList<std::pair<QString, QVariantMap>>;

// Global shortcuts as a portal offers them: sessions are made, and every binding is answered
// with success and the shortcuts asked for or, as KDE Plasma 5.27's portal does, none.
class ShortcutsPortal : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    uint version() const { return 1; }
    int bindings = 0;
    uint refusal = 0; // the answer's code to a binding, as a user's cancelling gives
    bool binds = false;
    QStringList calls; // of Register and CreateSession, in turn

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options)
    {
        calls << "CreateSession";
        return answer(options, 0, {});
    }
    // The type spelled out, as D-Bus matches the slot by its name.
    QDBusObjectPath BindShortcuts(const QDBusObjectPath &,
                                  const QList<std::pair<QString, QVariantMap>> &asked,
                                  const QString &, const QVariantMap &options)
    {
        ++bindings;
        Shortcuts bound = binds ? asked : Shortcuts();
        for (auto &[id, properties] : bound)
            properties.insert("trigger_description", "Ctrl+Alt+Q"); // the user's choice
        const QDBusObjectPath request = answer(options, refusal, bound);
        if (int(refusal) < 0) // still asking: the request can be closed
            QDBusConnection("portal").registerObject(request.path(), this,
                                                     QDBusConnection::ExportAdaptors);
        return request;
    }

private:
    static QDBusObjectPath answer(const QVariantMap &options, uint code, const Shortcuts &bound)
    {
        return testkit::answerRequest(
            options, int(code),
            // As an object path (portals send a string, as the end-to-end stand-in's does).
            {{"session_handle",
              QVariant::fromValue(QDBusObjectPath("/org/freedesktop/portal/desktop/session/1"))},
             {"shortcuts", QVariant::fromValue(bound)}});
    }
};

// Where the portal learns the name of an application it did not start.
class Registry : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.host.portal.Registry")
public:
    explicit Registry(ShortcutsPortal *portal) : QDBusAbstractAdaptor(portal), calls(portal->calls)
    {}
    QStringList &calls;

public slots:
    void Register(const QString &appId, const QVariantMap &) { calls << "Register " + appId; }
};

class Request : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
public:
    explicit Request(ShortcutsPortal *portal) : QDBusAbstractAdaptor(portal), calls(portal->calls)
    {}
    QStringList &calls;

public slots:
    void Close() { calls << "Close"; }
};

// The desktop's stored answers, of which the application may take back its own.
class PermissionStore : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.PermissionStore")
public:
    QStringList deleted;
public slots:
    void DeletePermission(const QString &table, const QString &id, const QString &appId)
    {
        deleted << table + ' ' + id + ' ' + appId;
    }
};

} // namespace

// The display platform and the desktop services chosen at start, on a private session bus.
class PlatformTest : public QObject
{
    Q_OBJECT

    QProcess bus;
    ShortcutsPortal portal;
    PermissionStore store;

private slots:
    void initTestCase()
    {
        qDBusRegisterMetaType<Shortcuts::value_type>();
        qDBusRegisterMetaType<Shortcuts>();
        new Registry(&portal);
        new Request(&portal);
        QVERIFY(testkit::servePortal(
            bus, &portal, QDBusConnection::ExportAllContents | QDBusConnection::ExportAdaptors));
        QDBusConnection other("portal");
        QVERIFY(other.registerObject("/org/freedesktop/impl/portal/PermissionStore", &store,
                                     QDBusConnection::ExportAllSlots) &&
                other.registerService("org.freedesktop.impl.portal.PermissionStore"));
    }

    // A binding holds once the portal lists the shortcut, pressed as the portal says (then and
    // later), and is made again when the portal starts anew; before the first call to each start of
    // the portal this application gives its name, under which a refused capture is then forgotten.
    // A binding refused, or answered with success but without the shortcut asked for, holds
    // nothing, and the application is told. After the latter the desktop is taken as offering
    // no shortcut (as one without the interface would be: hence the count of bindings).
    void portalBindings()
    {
        int unavailable = 0;
        auto registration = makePortalRegistration([] {});
        registration->onUnavailable = [&] { ++unavailable; };
        QString boundAs;
        registration->onBoundAs = [&](const QString &keys) { boundAs = keys; };
        portal.binds = true;
        QVERIFY(registration->registerHotKey(HotKeyCombo::standard));
        QTRY_COMPARE(boundAs, QString("Ctrl+Alt+Q"));
        // Changed later in the desktop's settings.
        const Shortcuts changed{{"capture", {{"trigger_description", "Ctrl+Alt+W"}}}};
        QDBusConnection("portal").send(
            QDBusMessage::createSignal("/org/freedesktop/portal/desktop",
                                       "org.freedesktop.portal.GlobalShortcuts", "ShortcutsChanged")
            << QVariant::fromValue(QDBusObjectPath("/org/freedesktop/portal/desktop/session/1"))
            << QVariant::fromValue(changed));
        QTRY_COMPARE(boundAs, QString("Ctrl+Alt+W"));
        QDBusConnection other("portal");
        QVERIFY(other.unregisterService("org.freedesktop.portal.Desktop"));
        QVERIFY(other.registerService("org.freedesktop.portal.Desktop"));
        QTRY_COMPARE(portal.bindings, 2);
        QVERIFY(registration->isRegistered() && unavailable == 0);
        QCOMPARE(portal.calls, QStringList({"Register corvane", "CreateSession", "Register corvane",
                                            "CreateSession"}));
        ScreenCapture::allowAgain();
        QTRY_COMPARE(store.deleted, QStringList{"screenshot screenshot corvane"});
        // One the user has not answered yet stays under way until given back, which takes the
        // desktop's dialog down.
        portal.refusal = uint(-1);
        QVERIFY(registration->registerHotKey(HotKeyCombo::standard));
        QTRY_COMPARE(portal.bindings, 3);
        registration->unregister();
        QTRY_VERIFY(portal.calls.contains("Close"));
        portal.binds = false;
        for (const uint refusal : {1u, 0u}) {
            portal.refusal = refusal;
            QVERIFY(registration->registerHotKey(HotKeyCombo::standard));
            QTRY_COMPARE(unavailable, 2 - int(refusal));
            QVERIFY(!registration->isRegistered() && registration->isOffered() == bool(refusal));
        }
        QCOMPARE(portal.bindings, 5);
        // A portal replaced in place ends and starts in one change of owner, and back.
        QObject context;
        QList<bool> heard;
        DesktopPortal::onRestart(&context, [&](bool running) { heard << running; });
        QDBusConnection next =
            QDBusConnection::connectToBus(qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"), "next");
        for (auto [from, to] : {std::pair{other, next}, {next, other}}) {
            to.interface()->registerService(DesktopPortal::service,
                                            QDBusConnectionInterface::QueueService);
            QVERIFY(from.unregisterService(DesktopPortal::service));
        }
        QTRY_COMPARE(heard, QList<bool>({false, true, false, true}));
    }

    void prefersWaylandInsideAWaylandSession()
    {
        QTemporaryDir runtime;
        for (const char *socket : {"wayland-0", "wayland-7"})
            QVERIFY(QFile(runtime.filePath(socket)).open(QIODevice::WriteOnly));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const char *names[] = {"WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "QT_QPA_PLATFORM"};
        // Those variables (empty: unset), and the platform chosen.
        const QByteArrayList rows[] = {
            {"wayland-7", "", "", "wayland;xcb"}, // a socket named
            {"", "wayland", "", "wayland;xcb"},   // the session's type alone
            {"wayland-3", "wayland", "", ""},     // a socket name left from elsewhere
            {"", "x11", "", ""},                  // an X11 session
            {"wayland-7", "", "xcb", "xcb"}};     // the user's own choice
        for (const QByteArrayList &row : rows) {
            for (int i = 0; i < 3; ++i)
                row[i].isEmpty() ? qunsetenv(names[i]) : qputenv(names[i], row[i]);
            PlatformLoader::preferWaylandInWaylandSession();
            QVERIFY2(qgetenv("QT_QPA_PLATFORM") == row[3], row.join(' ').constData());
        }
    }

    // Qt's offscreen platform reads its screens with Qt's grab and has no shortcut, overlay
    // handling or window list of its own; the environment forces the portal (which captureAll()
    // does not wait for) or no window list, and a sway socket gives the compositor's list. The
    // log line names each choice.
    void loaderPicksTheBackends()
    {
        const QString line =
            "화면 플랫폼: offscreen, 캡처: %1, 단축키: 없음, 창 목록: %2, 오버레이: 없음";
        const QString grab = "Qt 의 화면 가져오기";
        const QByteArray sway = QFile::encodeName(QCoreApplication::applicationFilePath());
        // CORVANE_CAPTURE, CORVANE_WINDOW_LIST, and the socket of the compositor and of sway, for
        // which any existing file stands; the log line.
        const std::pair<QByteArrayList, QString> rows[] = {
            {{"", "", ""}, line.arg(grab, "없음")},
            {{"portal", "", ""}, line.arg("데스크톱 포털", "없음")},
            {{"", "", sway}, line.arg(grab, "sway IPC")},
            {{"", "none", sway}, line.arg(grab, "없음")}};
        qunsetenv("XDG_SESSION_TYPE");
        for (const auto &[environment, description] : rows) {
            qputenv("CORVANE_CAPTURE", environment[0]);
            qputenv("CORVANE_WINDOW_LIST", environment[1]);
            qputenv("WAYLAND_DISPLAY", environment[2]);
            qputenv("SWAYSOCK", environment[2]);
            const Platform &platform = PlatformLoader::load();
            QCOMPARE(platform.description, description);
            const qsizetype screens = QGuiApplication::screens().size();
            QCOMPARE(ScreenCapture::captureAll().size(), environment[0].isEmpty() ? screens : 0);
            QCOMPARE(platform.windows->listsWindows(), description.contains("sway"));
        }
    }

    // Where KDE's shortcut service runs, the loader binds through it: each combination is kept
    // as KWin names it on the layout in use, also after a switch of layouts, and given again to
    // a restarted service, and one another component holds is refused. Last: the service stays.
    void hotKeyThroughKdeService()
    {
        QTemporaryDir home; // the configuration of the service and of the keyboard
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path()));
        QProcess service;
        qputenv("QT_QPA_PLATFORM", "offscreen");
        service.start("kglobalaccel5");
        QTRY_VERIFY(PlatformLoader::load().description.contains("단축키: KDE 전역 단축키 서비스"));
        QDBusInterface accel("org.kde.kglobalaccel", "/kglobalaccel", "org.kde.KGlobalAccel");
        HotKey hotKey([] {}); // presses: the end-to-end case on KWin
        const QStringList action{"corvane", "capture", "corvane", "캡처"};
        const quint64 ctrl = HotKeyCombo::Command, shiftCtrl = HotKeyCombo::Shift | ctrl,
                      ctrlAlt = ctrl | HotKeyCombo::Option;
        // The layouts set. A row with the last row's combination sets other layouts, of which
        // KWin tells only that, or with the same ones switches to the second.
        const std::tuple<QString, uint16_t, quint64, QString> table[] = {
            {"us", 25, shiftCtrl, "Ctrl+("},        {"de,us", 25, shiftCtrl, "Ctrl+)"},
            {"de,us", 25, shiftCtrl, "Ctrl+("},     {"ru", 0, ctrlAlt, "Ctrl+Alt+A"},
            {"us", 1, shiftCtrl, "Ctrl+Shift+S"},   {"us", 114, ctrlAlt, "Ctrl+Alt+Ins"},
            {"us", 105, ctrlAlt, "Ctrl+Alt+Tools"}, {"us", 83, ctrl, "Ctrl+1"},
            {"us", 65, ctrlAlt, "Ctrl+Alt+."}};
        QSettings(home.filePath("kxkbrc"), QSettings::IniFormat).setValue("Layout/Use", true);
        QDBusConnection keyboard("portal"); // as KWin, which tells of changes of layout
        QVERIFY(keyboard.registerService("org.kde.keyboard"));
        std::optional<HotKeyCombo> bound;
        QString set;
        for (const auto &[layouts, key, modifiers, name] : table) {
            QSettings(home.filePath("kxkbrc"), QSettings::IniFormat)
                .setValue("Layout/LayoutList", layouts.split(','));
            const bool sameLayouts = std::exchange(set, layouts) == layouts;
            if (std::exchange(bound, HotKeyCombo(key, modifiers)) != bound)
                QVERIFY(hotKey.registerHotKey(*bound));
            else if (sameLayouts)
                keyboard.send(QDBusMessage::createSignal("/Layouts", "org.kde.KeyboardLayouts",
                                                         "layoutChanged")
                              << 1u);
            else
                keyboard.send(QDBusMessage::createSignal("/Layouts", "org.kde.KeyboardLayouts",
                                                         "layoutListChanged"));
            QTRY_COMPARE(
                QKeySequence(
                    QDBusReply<QList<int>>(accel.call("shortcut", action)).value().value(0))
                    .toString(),
                name);
        }
        // A restarted service is given the keys again.
        service.kill();
        QVERIFY(service.waitForFinished());
        service.start("kglobalaccel5");
        QDBusInterface component("org.kde.kglobalaccel", "/component/corvane",
                                 "org.kde.kglobalaccel.Component");
        QTRY_VERIFY(QDBusReply<bool>(component.call("isActive")).value());
        const QStringList other{"other", "grab", "other", "grab"};
        accel.call("doRegister", other);
        const QList<int> ctrlAltT{QKeySequence("Ctrl+Alt+T")[0].toCombined()};
        accel.call("setShortcut", other, QVariant::fromValue(ctrlAltT), 4u);
        QVERIFY(!hotKey.registerHotKey(HotKeyCombo(17, ctrlAlt)));
    }
};

QTEST_MAIN(PlatformTest)
#include "tst_Platform.moc"
