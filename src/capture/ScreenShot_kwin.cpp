#include "capture/KWinScreenShot.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QGuiApplication>
#include <QScreen>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "platform/Milestone.h"
#include "platform/Platform.h"

namespace {

// KWin copies an output within a frame or two and writes it out at once; one that stalls must
// not freeze the tray for longer than this.
constexpr int kTimeoutMs = 3000;

// What KWin announced for one output, and the pipe it writes the pixels into.
struct Output
{
    QScreen *screen = nullptr;
    int pipe = -1;
    std::optional<QDBusPendingCall> call;
    int width = 0, height = 0;
    qsizetype stride = 0;
    QImage::Format format = QImage::Format_Invalid;
    QImage image;
    QString error;

    ~Output()
    {
        if (pipe >= 0)
            close(pipe);
    }

    // Exactly the announced rows: KWin closes its end only once it has written them all, and
    // this process still holds a copy of the writing end in the call's message.
    void readRows()
    {
        const size_t bytes = size_t(stride) * size_t(height);
        auto *pixels = static_cast<uchar *>(std::malloc(bytes));
        if (!pixels) {
            error = QStringLiteral("메모리가 부족합니다");
            return;
        }
        size_t done = 0;
        while (done < bytes) {
            pollfd p{pipe, POLLIN, 0};
            const int ready = poll(&p, 1, kTimeoutMs);
            const ssize_t n = ready > 0 ? read(pipe, pixels + done, bytes - done) : -1;
            if (n > 0) {
                done += size_t(n);
            } else if (n < 0 && (errno == EINTR || errno == EAGAIN) && ready != 0) {
                continue;
            } else {
                error = ready == 0 ? QStringLiteral("KWin 이 화면 %1 을 다 쓰지 않았습니다")
                                         .arg(screen->name())
                                   : QStringLiteral("화면 %1 을 %2 바이트에서 더 읽지 못했습니다")
                                         .arg(screen->name())
                                         .arg(done);
                std::free(pixels);
                return;
            }
        }
        // A screen comes as 32-bit pixels with red in the third byte, opaque: the screens'
        // format as it is. Anything else is converted.
        if (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
            format == QImage::Format_ARGB32_Premultiplied) {
            image = QImage(pixels, width, height, stride, QImage::Format_RGB32, std::free, pixels);
        } else {
            image =
                QImage(pixels, width, height, stride, format).convertToFormat(QImage::Format_RGB32);
            std::free(pixels);
        }
    }
};

// Reads KWin's answer for one output: why it cannot be read, or nothing.
QString takeAnswer(Output &o)
{
    o.call->waitForFinished();
    const QDBusMessage reply = o.call->reply();
    if (reply.type() == QDBusMessage::ErrorMessage) {
        return QStringLiteral("KWin 이 화면 %1 의 복사를 거절했습니다 (%2: %3)")
            .arg(o.screen->name(), reply.errorName(), reply.errorMessage());
    }
    const QVariantMap results = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    o.width = results.value(QStringLiteral("width")).toInt();
    o.height = results.value(QStringLiteral("height")).toInt();
    o.stride = results.value(QStringLiteral("stride")).toLongLong();
    o.format = QImage::Format(results.value(QStringLiteral("format")).toInt());
    const QString type = results.value(QStringLiteral("type"), QStringLiteral("raw")).toString();
    if (type != QLatin1String("raw") || o.width <= 0 || o.height <= 0 ||
        o.format <= QImage::Format_Invalid || o.format >= QImage::NImageFormats ||
        o.stride < qsizetype(o.width) * QImage::toPixelFormat(o.format).bitsPerPixel() / 8)
        return QStringLiteral("KWin 이 화면 %1 을 읽을 수 없는 형식으로 주었습니다")
            .arg(o.screen->name());
    return {};
}

} // namespace

namespace KWinScreenShot {

bool available()
{
    return Platform::current().capture.source == CaptureBackend::Source::KWinScreenShots;
}

QList<ScreenShot> captureAll(QString *why)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    std::vector<Output> outputs(size_t(screens.size()));
    QDBusConnection bus = QDBusConnection::sessionBus();
    // Every output is asked for at once, and KWin copies them in one go.
    for (size_t i = 0; i < outputs.size(); ++i) {
        Output &o = outputs[i];
        o.screen = screens[qsizetype(i)];
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            *why = QStringLiteral("파이프를 만들지 못했습니다: ") +
                   QString::fromLocal8Bit(std::strerror(errno));
            return {};
        }
        o.pipe = ends[0];
        // KWin writes an output's rows in one go; in the pipe's default 64 KiB a 4K copy
        // takes some 500 turns between its writer and our reader. Where the system refuses,
        // the read is only slower.
        fcntl(o.pipe, F_SETPIPE_SZ, 1 << 20);
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/org/kde/KWin/ScreenShot2"),
            QStringLiteral("org.kde.KWin.ScreenShot2"), QStringLiteral("CaptureScreen"));
        call << o.screen->name()
             << QVariantMap{{QStringLiteral("native-resolution"), true},
                            {QStringLiteral("include-cursor"), false}}
             << QVariant::fromValue(QDBusUnixFileDescriptor(ends[1]));
        close(ends[1]);
        o.call = bus.asyncCall(call, kTimeoutMs);
    }
    milestone("copy-request");
    // Each output's pixels are read on a thread of their own as soon as KWin has answered for
    // it, while the answers for the others are taken.
    std::vector<std::thread> readers;
    for (Output &o : outputs) {
        if (QString error = takeAnswer(o); !error.isEmpty()) {
            o.error = error;
            break;
        }
        readers.emplace_back([&o] { o.readRows(); });
    }
    for (std::thread &reader : readers)
        reader.join();
    milestone("copy-ready");
    QList<ScreenShot> shots;
    for (Output &o : outputs) {
        if (!o.error.isEmpty()) {
            *why = o.error;
            return {};
        }
        // A rotated output, or one whose size Qt has not heard of yet, would be cut wrongly.
        const QSizeF expected = QSizeF(o.screen->geometry().size()) * o.screen->devicePixelRatio();
        if (std::abs(expected.width() - o.width) > 1 ||
            std::abs(expected.height() - o.height) > 1) {
            *why = QStringLiteral("화면 %1 의 복사본 크기 %2x%3 가 맞지 않습니다")
                       .arg(o.screen->name())
                       .arg(o.width)
                       .arg(o.height);
            return {};
        }
        shots.append(ScreenShot{o.screen, o.image, nullptr});
    }
    milestone("screens-cut");
    return shots;
}

} // namespace KWinScreenShot
