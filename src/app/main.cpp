#include <malloc.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QSessionManager>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include <xcb/xcb.h>

#include "app/AppDelegate.h"
#include "app/QtTranslations.h"
#include "settings/AppSettings.h"
#include "app/SingleInstance.h"
#include "platform/PlatformLoader.h"
#include "settings/SystemLog.h"
#include "update/BundleFiles.h"

namespace {

// QApplication aborts without a display; say what is wrong instead. Qt's own -platform and
// -display options win over the environment, as they do for Qt.
bool x11DisplayReachable(int argc, char **argv, QByteArray *display)
{
    QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    *display = qgetenv("DISPLAY");
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0)
            platform = argv[i + 1];
        else if (std::strcmp(argv[i], "-display") == 0)
            *display = argv[i + 1];
    }
    if (!platform.isEmpty() && !platform.startsWith("xcb"))
        return true;
    xcb_connection_t *c = xcb_connect(display->isEmpty() ? nullptr : display->constData(), nullptr);
    const bool ok = !xcb_connection_has_error(c);
    xcb_disconnect(c);
    return ok;
}

// --version and --help answer on standard output and exit: they need no display and must
// not reach a running instance (a hand-over would start a capture there).
std::optional<int> answerInfoOption(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            // The bundle is found from the executable's path, which needs the core object.
            QCoreApplication core(argc, argv);
            std::printf("corvane %s\n", qPrintable(AppSettings::versionText()));
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("사용법: corvane [--capture | --settings | --quit | --version | --help]\n"
                        "\n"
                        "트레이에 머무는 화면 캡처 프로그램입니다. 이미 실행 중이면 캡처를 "
                        "시작합니다.\n"
                        "기본 캡처 단축키는 Shift+Ctrl+9 이며, 트레이 아이콘 메뉴의 "
                        "\"설정...\"에서 바꿀 수 있습니다.\n"
                        "\n"
                        "  --capture  캡처합니다 (실행 중이 아니면 먼저 시작합니다)\n"
                        "  --settings 설정 창을 엽니다 (실행 중이 아니면 먼저 시작합니다)\n"
                        "  --quit     실행 중인 corvane 을 끝냅니다\n"
                        "  --version  버전을 출력하고 끝냅니다\n"
                        "  --help     이 도움말을 출력하고 끝냅니다\n");
            return 0;
        }
    }
    return std::nullopt;
}

const std::pair<const char *, SingleInstance::Command> kCommandOptions[] = {
    {"--capture", SingleInstance::Command::Capture},
    {"--settings", SingleInstance::Command::Settings},
    {"--quit", SingleInstance::Command::Quit},
};

std::optional<SingleInstance::Command> commandOption(const QStringList &arguments)
{
    for (const auto &[option, command] : kCommandOptions) {
        if (arguments.contains(QLatin1String(option)))
            return command;
    }
    return std::nullopt;
}

// Hands the launch's request (a capture when it names none) to a running instance: the exit
// code once the launch is done with, nothing when this launch is to become the instance. A
// process started by the updater replaces the one that is quitting; it hands nothing over.
std::optional<int> handToRunningInstance(const SingleInstance &instance,
                                         const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--updated")))
        return std::nullopt;
    const std::optional<SingleInstance::Command> command = commandOption(arguments);
    switch (instance.handOver(command.value_or(SingleInstance::Command::Capture))) {
    case SingleInstance::HandOver::Delivered:
        return 0;
    case SingleInstance::HandOver::Failed:
        std::fprintf(stderr, "corvane: 실행 중인 corvane 이 요청을 받지 않습니다.\n");
        return 1;
    case SingleInstance::HandOver::NoInstance:
        break;
    }
    if (command == SingleInstance::Command::Quit) {
        std::fprintf(stderr, "corvane: 실행 중인 corvane 이 없습니다.\n");
        return 0;
    }
    return std::nullopt;
}

void act(AppDelegate &delegate, SingleInstance::Command command)
{
    switch (command) {
    case SingleInstance::Command::Capture:
        delegate.applicationShouldHandleReopen();
        break;
    case SingleInstance::Command::Settings:
        delegate.openSettings();
        break;
    case SingleInstance::Command::Quit:
        delegate.quit();
        break;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (const std::optional<int> rc = answerInfoOption(argc, argv))
        return *rc;
    // Large buffers (screen pictures, reply bands, encodings) come and go with each capture.
    // A fixed threshold keeps them in mappings of their own that go back to the system when
    // freed; glibc would otherwise raise it and keep the freed megabytes in the heap.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    PlatformLoader::preferWaylandInWaylandSession();
    if (QByteArray display; !x11DisplayReachable(argc, argv, &display)) {
        // A running instance takes the request all the same: a terminal or a service without
        // the desktop's display can still ask it to quit.
        QCoreApplication core(argc, argv);
        if (const std::optional<int> rc = handToRunningInstance(SingleInstance(), core.arguments()))
            return *rc;
        std::fprintf(stderr,
                     "corvane: X11 디스플레이에 연결할 수 없습니다 (DISPLAY=%s). "
                     "X11 데스크톱 세션에서 실행하세요.\n",
                     display.constData());
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("corvane"));
    QApplication::setOrganizationName(QStringLiteral("corvane"));
    QApplication::setQuitOnLastWindowClosed(false);
    // Its login item starts it at login: a desktop that also restarted it with the last session
    // would start a second one, whose launch asks the first for a capture.
    QObject::connect(&app, &QGuiApplication::saveStateRequest, [](QSessionManager &manager) {
        manager.setRestartHint(QSessionManager::RestartNever);
    });
    // Dialogs, standard buttons and network errors in the desktop's language.
    installQtTranslations(app, QLocale::system());

    // A process started by the updater replaces the one that is quitting; it waits for the
    // name instead of handing over to it.
    const QStringList arguments = app.arguments();
    const bool updated = arguments.contains(QStringLiteral("--updated"));
    const std::optional<SingleInstance::Command> command = commandOption(arguments);
    // A launch without options asks the running instance for a capture, as --capture does.
    const SingleInstance::Command asked = command.value_or(SingleInstance::Command::Capture);
    SingleInstance instance;
    if (const std::optional<int> rc = handToRunningInstance(instance, arguments))
        return *rc;
    // The version that started this one quits once told that it runs, and puts itself back
    // otherwise.
    if (updated)
        BundleFiles::announceStarted();
    if (!instance.listen(updated ? 10000 : 0)) {
        // Another launch became the instance in the meantime, and may not listen yet.
        QDeadlineTimer deadline(3000);
        SingleInstance::HandOver handed = SingleInstance::HandOver::NoInstance;
        while (!updated &&
               (handed = instance.handOver(asked)) == SingleInstance::HandOver::NoInstance &&
               !deadline.hasExpired())
            QThread::msleep(50);
        if (handed == SingleInstance::HandOver::Delivered)
            return 0;
        std::fprintf(stderr, "corvane: %s\n", instance.errorString().toUtf8().constData());
        return 1;
    }

    if (updated)
        systemLog(QStringLiteral("업데이트 후 시작: corvane ") + AppSettings::versionText());
    systemLog(PlatformLoader::load().description);

    auto delegate = std::make_unique<AppDelegate>(AppSettings::shared());
    // Queued: the settings window runs its own event loop, which must not run inside the
    // socket's signal.
    instance.onCommand = [d = delegate.get()](SingleInstance::Command received) {
        QTimer::singleShot(0, d, [d, received] { act(*d, received); });
    };
    delegate->applicationDidFinishLaunching();
    if (command)
        QTimer::singleShot(0, delegate.get(), [d = delegate.get(), c = *command] { act(*d, c); });
    const int rc = app.exec();
    instance.onCommand = nullptr;
    (void)rc;
    return 0;
}
