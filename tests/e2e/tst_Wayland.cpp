#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <csignal>

#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "RootPattern.h"
#include "testkit/WaylandDesktop.h"
#include "testkit/XServer.h"

using testkit::waitUntil;
using testkit::WaylandDesktop;

// The built application in a Wayland session: sway with a scale-1 and a scale-2 output, each
// showing a picture in which every pixel tells its output and position; driven with the test
// pointer and wtype; what the user gets is read back with wl-paste and from files.
namespace {

QImage wallpaper(QSize size, bool inverted)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, RootPattern::at(x, y, inverted));
    return image;
}

const QImage &leftPicture()
{
    static const QImage image = wallpaper(WaylandDesktop::left.size(), false);
    return image;
}

const QImage &rightPicture()
{
    static const QImage image = wallpaper(WaylandDesktop::right.size() * 2, true);
    return image;
}

// The overlay's dimming halves every channel.
bool isDimmed(QRgb shown, QRgb picture)
{
    return std::abs(qRed(shown) - qRed(picture) / 2) <= 1 &&
           std::abs(qGreen(shown) - qGreen(picture) / 2) <= 1 &&
           std::abs(qBlue(shown) - qBlue(picture) / 2) <= 1;
}

bool chownToUser(const QString &path)
{
    const passwd *account = getpwnam(WaylandDesktop::user);
    return account &&
           chown(QFile::encodeName(path).constData(), account->pw_uid, account->pw_gid) == 0;
}

// The application as the desktop's user starts it: own home, settings and runtime folders,
// no Qt platform named.
class App
{
public:
    explicit App(WaylandDesktop &desktop) : m_desktop(desktop), m_home(desktop.userFolder())
    {
        m_env = desktop.environment();
        const QString runtime = desktop.userFolder();
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env.insert("WAYLAND_DISPLAY", m_env.value("XDG_RUNTIME_DIR") + "/wayland-1");
        m_env.insert("XDG_RUNTIME_DIR", runtime);
        m_env.insert("HOME", m_home);
        m_env.insert("XDG_CONFIG_HOME", m_home + "/config");
        m_env.insert("XDG_CACHE_HOME", m_home + "/cache");
        m_env.insert("XDG_DATA_HOME", m_home + "/data");
        m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~App()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    bool start()
    {
        m_desktop.runAsUser(m_process, executable(), {}, m_env);
        m_process.start();
        return m_process.waitForStarted(5000);
    }
    int launchAgain()
    {
        QProcess second;
        second.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_desktop.runAsUser(second, executable(), {}, m_env);
        second.start();
        if (!second.waitForFinished(15000))
            return -1;
        return second.exitStatus() == QProcess::NormalExit ? second.exitCode() : -1;
    }
    QByteArray log()
    {
        m_log += m_process.readAllStandardError();
        return m_log;
    }
    bool waitForLog(const QByteArray &text)
    {
        return waitUntil([&] { return log().contains(text); }, 20000);
    }
    // Settings written before the start, as the settings window would leave them.
    void writeSettings(const QString &saveFolder)
    {
        const QString folder = m_home + "/config/corvane";
        QDir().mkpath(folder);
        {
            QSettings settings(folder + "/corvane.conf", QSettings::IniFormat);
            settings.setValue("saveWithoutDialog", true);
            settings.setValue("saveFolder", saveFolder);
        }
        for (const QString &path : {m_home + "/config", folder, folder + "/corvane.conf"})
            chownToUser(path);
    }

private:
    static QString executable()
    {
        return QStringLiteral(CORVANE_BUNDLE_DIR) + QStringLiteral("/Contents/MacOS/corvane");
    }

    WaylandDesktop &m_desktop;
    QString m_home;
    QProcessEnvironment m_env;
    QProcess m_process;
    QByteArray m_log;
};

} // namespace

class TestWayland : public QObject
{
    Q_OBJECT

    WaylandDesktop &desktop()
    {
        return *static_cast<WaylandDesktop *>(property("desktop").value<void *>());
    }

    QList<QRect> overlays()
    {
        QList<QRect> rects;
        for (const WaylandDesktop::Window &w : desktop().windows())
            if (w.appId == QLatin1String("corvane") && w.fullScreen)
                rects << w.rect;
        std::sort(rects.begin(), rects.end(), [](QRect a, QRect b) { return a.x() < b.x(); });
        return rects;
    }
    // The screen as the compositor shows it, the whole layout at scale 2.
    QImage screen()
    {
        QByteArray png;
        desktop().run("grim", {"-"}, &png);
        return QImage::fromData(png, "PNG");
    }
    // Overlays listed on every output and painted there: the dimmed picture shows. The scaled
    // output may show an older frame on the first read, so this polls.
    bool waitForOverlays(int count)
    {
        if (!waitUntil([&] { return overlays().size() == count; }, 15000))
            return false;
        return count == 0 ||
               waitUntil(
                   [&] {
                       const QImage shot = screen();
                       return isDimmed(shot.pixel(100, 100), leftPicture().pixel(50, 50)) &&
                              isDimmed(shot.pixel(2560 + 100, 100), rightPicture().pixel(100, 100));
                   },
                   15000);
    }
    bool drag(QPoint from, QPoint to)
    {
        const QPoint mid = (from + to) / 2;
        const auto at = [](QPoint p) {
            return QStringList{"move", QString::number(p.x()), QString::number(p.y())};
        };
        return desktop().pointer(at(from) + QStringList{"down"} + at(mid) + at(to) +
                                 QStringList{"up"});
    }
    QImage paste()
    {
        QByteArray png;
        desktop().run("wl-paste", {"--no-newline", "--type", "image/png"}, &png);
        return QImage::fromData(png, "PNG").convertToFormat(QImage::Format_RGB32);
    }
    // How an image differs from the pixels that a drag between two layout points selects on
    // the output holding them; empty when it does not. The portal renders the whole layout at
    // scale 2, enlarging the scale-1 output with a blend of neighbouring pixels: there a pixel
    // beside one of the picture's steps (where a colour byte wraps) may differ, while the
    // linear ramps in between survive the blend exactly.
    static QString differences(const QImage &image, QPoint from, QPoint to)
    {
        const bool onLeft = WaylandDesktop::left.contains(from);
        const QPoint origin =
            onLeft ? WaylandDesktop::left.topLeft() : WaylandDesktop::right.topLeft();
        const int scale = onLeft ? 1 : 2;
        const QImage &picture = onLeft ? leftPicture() : rightPicture();
        const QRect region((from - origin) * scale,
                           QSize(to.x() - from.x(), to.y() - from.y()) * scale);
        if (image.size() != region.size())
            return QStringLiteral("size %1x%2, expected %3x%4")
                .arg(image.width())
                .arg(image.height())
                .arg(region.width())
                .arg(region.height());
        const auto besideStep = [](int v) { return (v + 1) % 256 < 2; };
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QPoint p = region.topLeft() + QPoint(x, y);
                if (image.pixel(x, y) == picture.pixel(p) ||
                    (scale == 1 && (besideStep(p.x()) || besideStep(p.y()))))
                    continue;
                return QStringLiteral("pixel %1,%2 is %3, expected %4")
                    .arg(x)
                    .arg(y)
                    .arg(image.pixel(x, y), 0, 16)
                    .arg(picture.pixel(p), 0, 16);
            }
        }
        return {};
    }

private slots:
    void secondLaunchCoversEachOutputAndEscapeClosesAll()
    {
        App app(desktop());
        QVERIFY(app.start());
        QVERIFY2(app.waitForLog("화면 플랫폼: Wayland"), app.log());
        // sway offers no global shortcuts: said once, and the second launch is the trigger.
        QVERIFY(app.waitForLog("전역 단축키를 제공하지 않습니다"));
        QCOMPARE(app.launchAgain(), 0);
        QVERIFY2(waitForOverlays(2), app.log());
        QCOMPARE(overlays(), (QList<QRect>{WaylandDesktop::left, WaylandDesktop::right}));
        QVERIFY(desktop().keys({"-k", "Escape"}));
        QVERIFY(waitForOverlays(0));
        // Past the hotkey's five-second retry, the log has not repeated itself.
        QTest::qWait(5500);
        QCOMPARE(app.log().count("전역 단축키를 제공하지 않습니다"), 1);
    }

    void copyGivesTheSelectedPixelsOfEachOutput_data()
    {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::newRow("scale 1") << QPoint(101, 83) << QPoint(403, 287);
        QTest::newRow("scale 2") << QPoint(1391, 97) << QPoint(1707, 411);
    }
    void copyGivesTheSelectedPixelsOfEachOutput()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        App app(desktop());
        QVERIFY(app.start());
        QVERIFY(app.waitForLog("화면 플랫폼"));
        QCOMPARE(app.launchAgain(), 0);
        QVERIFY(waitForOverlays(2));
        QVERIFY(drag(from, to));
        QVERIFY(desktop().keys({"-M", "ctrl", "-k", "c", "-m", "ctrl"}));
        QVERIFY(waitForOverlays(0));
        const QString mismatch = differences(paste(), from, to);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void trayActivationCapturesAndSavesDirectly()
    {
        const QString folder = desktop().userFolder();
        App app(desktop());
        app.writeSettings(folder);
        QVERIFY(app.start());
        QByteArray items;
        QVERIFY(waitUntil(
            [&] {
                desktop().run("gdbus",
                              {"call", "--session", "--dest", "org.kde.StatusNotifierWatcher",
                               "--object-path", "/StatusNotifierWatcher", "--method",
                               "org.freedesktop.DBus.Properties.Get",
                               "org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems"},
                              &items);
                return items.contains("StatusNotifierItem");
            },
            15000));
        const QRegularExpressionMatch item =
            QRegularExpression("'([^'/]+)(/[^']+)'").match(QString::fromUtf8(items));
        QVERIFY2(item.hasMatch(), items);
        QCOMPARE(desktop().run("gdbus", {"call", "--session", "--dest", item.captured(1),
                                         "--object-path", item.captured(2), "--method",
                                         "org.kde.StatusNotifierItem.Activate", "0", "0"}),
                 0);
        QVERIFY(waitForOverlays(2));
        const QPoint from(1500, 300), to(1620, 380);
        QVERIFY(drag(from, to));
        QVERIFY(desktop().keys({"-M", "ctrl", "-k", "s", "-m", "ctrl"}));
        QVERIFY(waitForOverlays(0));
        QStringList saved;
        QVERIFY(waitUntil(
            [&] { return !(saved = QDir(folder).entryList({"corvane_*.png"})).isEmpty(); }, 5000));
        const QString mismatch = differences(
            QImage(QDir(folder).filePath(saved.first())).convertToFormat(QImage::Format_RGB32),
            from, to);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }
};

int main(int argc, char **argv)
{
    WaylandDesktop desktop(leftPicture(), rightPicture());
    QString error;
    if (!desktop.start(&error)) {
        qCritical("the Wayland desktop did not start: %s", qPrintable(error));
        return 1;
    }
    QCoreApplication app(argc, argv);
    TestWayland test;
    test.setProperty("desktop", QVariant::fromValue<void *>(&desktop));
    return QTest::qExec(&test, argc, argv);
}

#include "tst_Wayland.moc"
