#include <QBuffer>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusInterface>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDataStream>
#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

#include <libdeflate.h>

#include "capture/PortalCapture.h"
#include "hotkey/HotKeyRegistrations.h"
#include "platform/PlatformLoader.h"
#include "platform/WindowList.h"

using PortalCapture::Area;

namespace {

// Random pixels: a misplaced pixel shows, and the PNG filters' predictors meet their ties.
QImage noise(QSize size, QImage::Format format, quint32 seed)
{
    QImage image(size, format);
    QRandomGenerator random(seed);
    for (int i = 0; i < size.width() * size.height(); ++i)
        image.setPixel(i % size.width(), i / size.width(), random.generate());
    return image;
}

// An 8-bit RGB or RGBA PNG of image with row y filtered by filter y % 5 (none, left, up,
// average, Paeth), as a portal's back end may write it.
QByteArray filteredPng(const QImage &image, int channels)
{
    const QImage bytes =
        image.convertToFormat(channels == 3 ? QImage::Format_RGB888 : QImage::Format_RGBA8888);
    const int n = image.width() * channels;
    QByteArray raw, above(n, 0), header("IHDR"), png("\x89PNG\r\n\x1a\n");
    for (int y = 0; y < image.height(); ++y) {
        const QByteArray row(reinterpret_cast<const char *>(bytes.constScanLine(y)), n);
        raw += char(y % 5);
        for (int i = 0; i < n; ++i) {
            const int a = i >= channels ? uchar(row[i - channels]) : 0, b = uchar(above[i]);
            const int c = i >= channels ? uchar(above[i - channels]) : 0, q = a + b - c;
            const int pa = qAbs(q - a), pb = qAbs(q - b), pc = qAbs(q - c);
            const int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            const int predicted[] = {0, a, b, (a + b) / 2, paeth};
            raw += char(uchar(row[i]) - predicted[y % 5]);
        }
        above = row;
    }
    QDataStream(&header, QIODevice::Append)
        << quint32(image.width()) << quint32(image.height()) << quint8(8)
        << quint8(channels == 3 ? 2 : 6) << quint8(0) << quint8(0) << quint8(0);
    QDataStream out(&png, QIODevice::Append);
    for (const QByteArray &typed : {header, "IDAT" + qCompress(raw).mid(4), QByteArray("IEND")}) {
        out << quint32(typed.size() - 4);
        out.writeRawData(typed.constData(), int(typed.size()));
        out << quint32(libdeflate_crc32(0, typed.constData(), size_t(typed.size())));
    }
    return png;
}

// The desktop portal's Screenshot interface on a private session bus, as a desktop offers it:
// each request is answered with `code` and a picture written into a folder outside the
// temporary one (the user's pictures, say); with a negative code it is never answered, as a
// portal waiting for its permission dialog does.
class ScreenshotPortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Screenshot")
public:
    int code = 0;
    QImage picture;
    QString file;
public slots:
    QDBusObjectPath Screenshot(const QString &, const QVariantMap &options)
    {
        const QString handle = "/org/freedesktop/portal/desktop/request/" +
                               message().service().mid(1).replace('.', '_') + '/' +
                               options.value("handle_token").toString();
        if (code == 0)
            picture.save(file);
        QDBusMessage response =
            QDBusMessage::createSignal(handle, "org.freedesktop.portal.Request", "Response");
        if (code >= 0)
            connection().send(response << uint(code) << QVariantMap{{"uri", "file://" + file}});
        return QDBusObjectPath(handle);
    }
};

using Shortcuts = QList<std::pair<QString, QVariantMap>>;

// Its global shortcuts as KDE Plasma 5.27's portal offers them: sessions are made, and every
// binding is answered with success and no shortcut.
class ShortcutsPortal : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    explicit ShortcutsPortal(QObject *parent) : QDBusAbstractAdaptor(parent) {}
    uint version() const { return 1; }

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options) { return answer(options); }
    QDBusObjectPath BindShortcuts(const QDBusObjectPath &,
                                  const QList<std::pair<QString, QVariantMap>> &, const QString &,
                                  const QVariantMap &options)
    {
        return answer(options);
    }

private:
    QDBusObjectPath answer(const QVariantMap &options)
    {
        // Called by this process's own connection.
        const QString handle =
            "/org/freedesktop/portal/desktop/request/" +
            QDBusConnection::sessionBus().baseService().mid(1).replace('.', '_') + '/' +
            options.value("handle_token").toString();
        QDBusConnection("portal").send(
            QDBusMessage::createSignal(handle, "org.freedesktop.portal.Request", "Response")
            << 0u
            << QVariantMap{{"session_handle", "/org/freedesktop/portal/desktop/session/1"},
                           {"shortcuts", QVariant::fromValue(Shortcuts())}});
        return QDBusObjectPath(handle);
    }
};

} // namespace

// The portal's picture decoded and cut into screens, and the display platform chosen at start.
class PortalCaptureTest : public QObject
{
    Q_OBJECT

    QProcess bus;
    ScreenshotPortal portal;

private slots:
    void initTestCase()
    {
        bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(bus.waitForReadyRead(10000));
        const QByteArray address = bus.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        QDBusConnection other = QDBusConnection::connectToBus(QString(address), "portal");
        new ShortcutsPortal(&portal);
        qDBusRegisterMetaType<Shortcuts::value_type>();
        qDBusRegisterMetaType<Shortcuts>();
        QVERIFY(other.registerObject("/org/freedesktop/portal/desktop", &portal,
                                     QDBusConnection::ExportAllSlots |
                                         QDBusConnection::ExportAdaptors));
        QVERIFY(other.registerService("org.freedesktop.portal.Desktop"));
    }

    // The event loop runs while the portal has not answered; its picture is read, cut and
    // removed; a refusal is told apart from a failure.
    void capturesThroughThePortal_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("allowed") << 0;
        QTest::newRow("refused") << 2;
        QTest::newRow("no answer") << -1;
    }
    void capturesThroughThePortal()
    {
        QFETCH(int, code);
        QTemporaryDir pictures(QDir::currentPath() + "/Pictures-XXXXXX");
        portal.code = code;
        portal.file = pictures.filePath("Screenshot-1.png");
        portal.picture = noise(QGuiApplication::primaryScreen()->size(), QImage::Format_RGB32, 5);
        QObject context;
        std::optional<std::pair<QList<ScreenShot>, bool>> answer;
        PortalCapture::captureAll(
            &context,
            [&](auto shots, bool refused) {
                answer = {shots, refused};
            },
            5000);
        QVERIFY(!answer);
        QTRY_VERIFY_WITH_TIMEOUT(answer, 10000);
        QCOMPARE(answer->second, code == 2);
        QCOMPARE(answer->first.size(), code == 0 ? 1 : 0);
        if (code == 0)
            QCOMPARE(answer->first[0].image, portal.picture);
        QVERIFY(QDir(pictures.path()).isEmpty());
    }

    // A binding answered with success but without the shortcut asked for holds nothing, and
    // the desktop is taken as offering no shortcut.
    void portalBindingNothingIsNoHotKey()
    {
        int unavailable = 0;
        auto registration = makePortalRegistration([] {});
        registration->onUnavailable = [&] { ++unavailable; };
        QVERIFY(registration->registerHotKey(HotKeyCombo::standard));
        QTRY_COMPARE(unavailable, 1);
        QVERIFY(!registration->isRegistered() && !registration->isOffered());
    }

    void cutsThePictureIntoScreens_data()
    {
        QTest::addColumn<QList<Area>>("areas");
        QTest::addColumn<int>("pictureScale");
        QTest::newRow("one screen") << QList<Area>{{{0, 0, 320, 200}, 1}} << 1;
        QTest::newRow("side by side, scale 1 beside 2, shorter second")
            << QList<Area>{{{0, 0, 320, 180}, 1}, {{320, 0, 240, 135}, 2}} << 2;
        QTest::newRow("scale 2 left of scale 1")
            << QList<Area>{{{0, 0, 200, 150}, 2}, {{200, 40, 300, 100}, 1}} << 2;
        QTest::newRow("stacked, layout left of the origin")
            << QList<Area>{{{-160, 0, 160, 100}, 1}, {{-160, 100, 200, 120}, 1}} << 1;
        QTest::newRow("three screens, two at scale 3")
            << QList<Area>{{{0, 0, 100, 80}, 3}, {{100, 0, 90, 60}, 1}, {{190, 0, 70, 80}, 3}} << 3;
        // A desktop laying its outputs out in pixels reports a scale-2 output at its pixel size.
        QTest::newRow("scale 2, laid out in pixels") << QList<Area>{{{0, 0, 320, 200}, 2}} << 1;
        QTest::newRow("scale 1 beside 2, laid out in pixels")
            << QList<Area>{{{0, 0, 320, 180}, 1}, {{320, 0, 640, 360}, 2}} << 1;
    }
    void cutsThePictureIntoScreens()
    {
        QFETCH(QList<Area>, areas);
        QFETCH(int, pictureScale);
        QRect bounds;
        for (const Area &area : areas)
            bounds |= area.geometry;
        // The portal's picture: the layout at one scale, each screen's pixels repeated up to it.
        QImage picture(bounds.size() * pictureScale, QImage::Format_RGB32);
        picture.fill(Qt::magenta);
        QPainter painter(&picture);
        QList<QImage> screens;
        for (const Area &area : areas) {
            screens.append(noise(area.geometry.size() * std::min<qreal>(area.scale, pictureScale),
                                 QImage::Format_RGB32, quint32(screens.size())));
            painter.drawImage((area.geometry.topLeft() - bounds.topLeft()) * pictureScale,
                              screens.last().scaled(area.geometry.size() * pictureScale,
                                                    Qt::IgnoreAspectRatio, Qt::FastTransformation));
        }
        painter.end();
        QCOMPARE(PortalCapture::cutLayout(picture, areas), screens);
        // A picture that fits no scale of the layout, as if a screen were missing, or none.
        for (const QImage &other :
             {picture.copy(0, 0, picture.width() / 2, picture.height()), QImage()})
            QVERIFY(PortalCapture::cutLayout(other, areas).isEmpty());
    }

    // As QImageReader decodes it, in Format_RGB32 without alpha; damaged data gives none.
    void decodesThePicture_data()
    {
        QTest::addColumn<QByteArray>("data");
        const QImage image = noise(QSize(67, 31), QImage::Format_ARGB32, 3);
        QTest::newRow("RGB, every filter") << filteredPng(image, 3);
        QTest::newRow("RGBA, every filter") << filteredPng(image, 4);
        QTest::newRow("RGBA, one pixel wide")
            << filteredPng(noise(QSize(1, 10), QImage::Format_ARGB32, 4), 4);
        // Written by libpng at its defaults, as a desktop's screenshot is: a filter chosen per
        // row and the stream split into chunks of 8 KiB.
        QImage smooth(QSize(333, 97), QImage::Format_ARGB32);
        for (int y = 0; y < smooth.height(); ++y)
            for (int x = 0; x < smooth.width(); ++x)
                smooth.setPixel(x, y, qRgba(x, x * y % 251, (x / 8 + y) % 2 * 200, 255 - y / 2));
        for (const QImage::Format format : {QImage::Format_RGB32, QImage::Format_ARGB32}) {
            QBuffer written;
            smooth.convertToFormat(format).save(&written, "png");
            QTest::addRow("%s as written by libpng",
                          format == QImage::Format_RGB32 ? "RGB" : "RGBA")
                << written.data();
        }
        QBuffer palette;
        image.convertToFormat(QImage::Format_Indexed8).save(&palette, "png");
        QTest::newRow("a PNG of another kind") << palette.data();
    }
    void decodesThePicture()
    {
        QFETCH(QByteArray, data);
        const QImage picture = PortalCapture::decodePicture(data);
        QVERIFY(!picture.isNull());
        QCOMPARE(picture, QImage::fromData(data).convertToFormat(QImage::Format_RGB32));
        QByteArray changed = data;
        changed[data.size() / 2] ^= 0x10;
        for (const QByteArray &damaged : {data.left(data.size() * 2 / 3), changed})
            QVERIFY(PortalCapture::decodePicture(damaged).isNull());
    }

    void prefersWaylandInsideAWaylandSession_data()
    {
        // WAYLAND_DISPLAY, XDG_SESSION_TYPE, QT_QPA_PLATFORM (empty: unset), the platform chosen.
        QTest::addColumn<QByteArrayList>("environment");
        QTest::newRow("socket named") << QByteArrayList{"wayland-7", "", "", "wayland;xcb"};
        QTest::newRow("session type only") << QByteArrayList{"", "wayland", "", "wayland;xcb"};
        QTest::newRow("stale socket name") << QByteArrayList{"wayland-3", "wayland", "", ""};
        QTest::newRow("X11 session") << QByteArrayList{"", "x11", "", ""};
        QTest::newRow("user's own platform") << QByteArrayList{"wayland-7", "", "xcb", "xcb"};
    }
    void prefersWaylandInsideAWaylandSession()
    {
        QFETCH(QByteArrayList, environment);
        QTemporaryDir runtime;
        for (const char *socket : {"wayland-0", "wayland-7"})
            QVERIFY(QFile(runtime.filePath(socket)).open(QIODevice::WriteOnly));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        const char *names[] = {"WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "QT_QPA_PLATFORM"};
        for (int i = 0; i < 3; ++i)
            environment[i].isEmpty() ? qunsetenv(names[i]) : qputenv(names[i], environment[i]);
        PlatformLoader::preferWaylandInWaylandSession();
        QCOMPARE(qgetenv("QT_QPA_PLATFORM"), environment[3]);
    }

    // Qt's offscreen platform reads its screens with Qt's grab and has no shortcut, overlay
    // handling or window list of its own; the environment forces the portal or no window list,
    // and a sway socket gives the compositor's list. The log line names each choice.
    void loaderPicksTheBackends_data()
    {
        QTest::addColumn<QByteArray>("capture");
        QTest::addColumn<QByteArray>("windowList");
        QTest::addColumn<bool>("sway");
        QTest::addColumn<QString>("description");
        const QString line =
            "화면 플랫폼: offscreen, 캡처: %1, 단축키: 없음, 창 목록: %2, 오버레이: 없음";
        const QString grab = "Qt 의 화면 가져오기";
        QTest::newRow("offscreen")
            << QByteArray() << QByteArray() << false << line.arg(grab, "없음");
        QTest::newRow("portal asked")
            << QByteArray("portal") << QByteArray() << false << line.arg("데스크톱 포털", "없음");
        QTest::newRow("sway") << QByteArray() << QByteArray() << true << line.arg(grab, "sway IPC");
        QTest::newRow("sway, no list asked")
            << QByteArray() << QByteArray("none") << true << line.arg(grab, "없음");
    }
    void loaderPicksTheBackends()
    {
        QFETCH(QByteArray, capture);
        QFETCH(QByteArray, windowList);
        QFETCH(bool, sway);
        QFETCH(QString, description);
        QTemporaryDir runtime;
        const QString socket = runtime.filePath("socket");
        QVERIFY(QFile(socket).open(QIODevice::WriteOnly));
        qputenv("CORVANE_CAPTURE", capture);
        qputenv("CORVANE_WINDOW_LIST", windowList);
        qunsetenv("XDG_SESSION_TYPE");
        sway ? qputenv("WAYLAND_DISPLAY", QFile::encodeName(socket)) : qunsetenv("WAYLAND_DISPLAY");
        sway ? qputenv("SWAYSOCK", QFile::encodeName(socket)) : qunsetenv("SWAYSOCK");
        const Platform &platform = PlatformLoader::load();
        QCOMPARE(platform.description, description);
        QCOMPARE(&Platform::current(), &platform);
        QCOMPARE(platform.capture.readsScreens(), capture.isEmpty());
        QVERIFY(!platform.hotKey.globalShortcuts());
        QCOMPARE(platform.windows->listsWindows(), description.contains("sway"));
    }

    // Where KDE's shortcut service runs, the loader binds through it: each combination is kept
    // as KWin names it on the layout, and one another component holds is refused. Last: the
    // service stays.
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
        const quint64 shiftCtrl = HotKeyCombo::Shift | HotKeyCombo::Command,
                      ctrlAlt = HotKeyCombo::Command | HotKeyCombo::Option;
        const std::tuple<const char *, uint16_t, quint64, QString> table[] = {
            {"us", 25, shiftCtrl, "Ctrl+("},
            {"kr", 25, shiftCtrl, "Ctrl+("},
            {"de", 25, shiftCtrl, "Ctrl+)"},
            {"us", 0, ctrlAlt, "Ctrl+Alt+A"},
            {"us", 1, shiftCtrl, "Ctrl+Shift+S"}};
        QSettings(home.filePath("kxkbrc"), QSettings::IniFormat).setValue("Layout/Use", true);
        for (const auto &[layout, key, modifiers, name] : table) {
            QSettings(home.filePath("kxkbrc"), QSettings::IniFormat)
                .setValue("Layout/LayoutList", layout);
            QVERIFY(hotKey.registerHotKey(HotKeyCombo(key, modifiers)));
            const QDBusReply<QList<int>> stored =
                accel.call("shortcut", QStringList{"corvane", "capture", "corvane", "캡처"});
            QCOMPARE(QKeySequence(stored.value().value(0)).toString(), name);
        }
        const QStringList other{"other", "grab", "other", "grab"};
        accel.call("doRegister", other);
        const QList<int> ctrlAltT{QKeySequence("Ctrl+Alt+T")[0].toCombined()};
        accel.call("setShortcut", other, QVariant::fromValue(ctrlAltT), 4u);
        QVERIFY(!hotKey.registerHotKey(HotKeyCombo(17, ctrlAlt)));
    }
};

QTEST_MAIN(PortalCaptureTest)
#include "tst_PortalCapture.moc"
