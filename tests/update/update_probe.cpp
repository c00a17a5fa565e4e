// One update check and, when it yields a bundle, its install, in a process of its own so
// that a test can run it as another user. Prints what happened; the start of the new
// bundle is only printed.
#include <QCoreApplication>
#include <QThread>

#include <cstdio>

#include "update/BundleInstaller.h"
#include "update/UpdateCheck.h"

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: update_probe SERVER BUNDLE TMPDIR VERSION\n");
        return 2;
    }
    const UpdateCheck check(args[1], args[4], args[3]);
    std::optional<ReadyUpdate> ready;
    std::unique_ptr<QThread> worker(QThread::create([&] { ready = check.download(nullptr); }));
    worker->start();
    worker->wait();
    if (!ready) {
        std::printf("none\n");
        return 0;
    }
    const BundleInstaller installer(args[2], [](const QString &program, const QStringList &rest) {
        std::printf("launch %s\n", qPrintable((QStringList{program} + rest).join(' ')));
        return true;
    });
    const char *outcomes[] = {"relaunched", "failed", "skipped"};
    std::printf("%s\n", outcomes[int(installer.apply(*ready))]);
    return 0;
}
