#include "capture/KWinScreenShot.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QScreen>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Milestone.h"
#include "platform/Platform.h"

namespace {

// KWin copies an output within a frame or two and writes it out at once; one that stalls must
// not freeze the tray for longer than this.
constexpr int kTimeoutMs = 3000;

// What KWin announced for one output, and the memory file it writes the pixels into.
struct Output
{
    QScreen *screen = nullptr;
    int file = -1;
    std::optional<QDBusPendingCall> call;
    int width = 0, height = 0;
    qsizetype stride = 0;
    QImage::Format format = QImage::Format_Invalid;
    QImage image;
    QString error;

    ~Output()
    {
        if (file >= 0)
            close(file);
    }

    // The screen's size in pixels as Qt knows it: at a fractional scale, rounded up.
    QSizeF expectedPixels() const
    {
        return QSizeF(screen->geometry().size()) * screen->devicePixelRatio();
    }

    // KWin writes the announced rows into the file after its answer, and says nothing when done:
    // they are all there once the file has grown to their size. Mapped, they become the image
    // without a copy, where a pipe would have them copied twice.
    void takeRows()
    {
        const size_t bytes = size_t(stride) * size_t(height);
        const QDeadlineTimer deadline(kTimeoutMs);
        struct stat written = {};
        while (fstat(file, &written) == 0 && size_t(written.st_size) < bytes &&
               !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (size_t(written.st_size) < bytes) {
            error = QStringLiteral("KWin 이 화면 %1 을 다 쓰지 않았습니다").arg(screen->name());
            return;
        }
        // Shared, so that faulting the pages in ahead copies none of them.
        void *pixels =
            mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, file, 0);
        if (pixels == MAP_FAILED) {
            error = QStringLiteral("메모리가 부족합니다");
            return;
        }
        const auto unmap = [](void *info) {
            const auto *mapping = static_cast<std::pair<void *, size_t> *>(info);
            munmap(mapping->first, mapping->second);
            delete mapping;
        };
        auto *mapping = new std::pair<void *, size_t>(pixels, bytes);
        // A screen comes as 32-bit pixels with red in the third byte, opaque: the screens'
        // format as it is. Anything else is converted.
        if (format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
            format == QImage::Format_ARGB32_Premultiplied) {
            image = QImage(static_cast<uchar *>(pixels), width, height, stride,
                           QImage::Format_RGB32, unmap, mapping);
        } else {
            image = QImage(static_cast<const uchar *>(pixels), width, height, stride, format)
                        .convertToFormat(QImage::Format_RGB32);
            unmap(mapping);
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
        o.file = memfd_create("corvane-screen", MFD_CLOEXEC);
        if (o.file < 0) {
            *why = QStringLiteral("메모리 파일을 만들지 못했습니다: ") +
                   QString::fromLocal8Bit(std::strerror(errno));
            return {};
        }
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.kde.KWin"), QStringLiteral("/org/kde/KWin/ScreenShot2"),
            QStringLiteral("org.kde.KWin.ScreenShot2"), QStringLiteral("CaptureScreen"));
        call << o.screen->name()
             << QVariantMap{{QStringLiteral("native-resolution"), true},
                            {QStringLiteral("include-cursor"), false}}
             << QVariant::fromValue(QDBusUnixFileDescriptor(o.file));
        o.call = bus.asyncCall(call, kTimeoutMs);
    }
    milestone("copy-request");
    // While KWin renders, the files' pages are made ready for the rows it will write, as far
    // as the screens' sizes tell, so that its write only copies. Their size stays, and still
    // says how far KWin has written.
    for (Output &o : outputs) {
        const QSize pixels = o.expectedPixels().toSize();
        fallocate(o.file, FALLOC_FL_KEEP_SIZE, 0, off_t(pixels.width()) * 4 * pixels.height());
    }
    // Each output's pixels are taken on a thread of their own as soon as KWin has answered for
    // it, while the answers for the others are taken.
    std::vector<std::thread> readers;
    for (Output &o : outputs) {
        if (QString error = takeAnswer(o); !error.isEmpty()) {
            o.error = error;
            break;
        }
        readers.emplace_back([&o] { o.takeRows(); });
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
        if (!ScreenShot::fitsScreen(o.width, o.height, o.screen)) {
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
