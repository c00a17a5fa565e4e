#include "platform/WindowList.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char kMagic[] = "i3-ipc";
constexpr uint32_t kRunCommand = 0, kGetTree = 4;

// The compositor's answer to one request on its IPC socket; empty when it gave none within a
// second, or one longer than any window tree. This runs as a capture opens and closes.
QByteArray ask(const QByteArray &path, uint32_t type, const QByteArray &payload = {})
{
    constexpr uint32_t longest = 64 << 20;
    const QDeadlineTimer deadline(1000);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof(address.sun_path))
        return {};
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    const timeval timeout{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    QByteArray answer;
    const auto readAll = [fd, &deadline](char *to, size_t size) {
        for (size_t done = 0; done < size;) {
            if (deadline.hasExpired())
                return false;
            const ssize_t n = read(fd, to + done, size - done);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    };
    char header[14] = {};
    uint32_t length = uint32_t(payload.size());
    std::memcpy(header, kMagic, 6);
    std::memcpy(header + 6, &length, 4);
    std::memcpy(header + 10, &type, 4);
    const QByteArray request = QByteArray(header, sizeof header) + payload;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        write(fd, request.constData(), size_t(request.size())) == request.size() &&
        readAll(header, 14) && std::memcmp(header, kMagic, 6) == 0) {
        std::memcpy(&length, header + 6, 4);
        answer.resize(qsizetype(std::min(length, longest)));
        if (length > longest || !readAll(answer.data(), length))
            answer.clear();
    }
    close(fd);
    return answer;
}

QRect rectOf(const QJsonValue &node)
{
    const QJsonObject r = node[QLatin1String("rect")].toObject();
    return {r[QLatin1String("x")].toInt(), r[QLatin1String("y")].toInt(),
            r[QLatin1String("width")].toInt(), r[QLatin1String("height")].toInt()};
}

// sway's tree: outputs, their workspaces, and in each the tiled windows and the floating ones
// drawn over them, the last drawn on top. A node's rect holds its border and title bar.
class SwayWindowList final : public WindowList
{
public:
    explicit SwayWindowList(QByteArray socket) : m_socket(std::move(socket)) {}
    QString name() const override { return QStringLiteral("sway IPC"); }
    bool listsWindows() const override { return true; }

    QList<QRect> topLevelWindows() const override
    {
        const QJsonObject root = QJsonDocument::fromJson(ask(m_socket, kGetTree)).object();
        QList<QRect> fullScreen, floating, tiled;
        const qint64 own = getpid();
        // A window is a node that names its program; only shown ones count, ours never.
        const auto isShownWindow = [own](const QJsonValue &node) {
            return node[QLatin1String("visible")].toBool() &&
                   node[QLatin1String("pid")].toInteger(own) != own;
        };
        m_fullScreen.clear();
        const std::function<void(const QJsonValue &, QList<QRect> &)> walk =
            [&](const QJsonValue &node, QList<QRect> &into) {
                if (node[QLatin1String("pid")].isDouble()) {
                    const int mode = node[QLatin1String("fullscreen_mode")].toInt();
                    if (!isShownWindow(node))
                        return;
                    (mode ? fullScreen : into).append(rectOf(node));
                    if (mode)
                        m_fullScreen.append({node[QLatin1String("id")].toInteger(), mode});
                    return;
                }
                for (const QJsonValue &child : node[QLatin1String("nodes")].toArray())
                    walk(child, into);
            };
        for (const QJsonValue &output : root[QLatin1String("nodes")].toArray()) {
            const QString shown = output[QLatin1String("current_workspace")].toString();
            for (const QJsonValue &workspace : output[QLatin1String("nodes")].toArray()) {
                if (workspace[QLatin1String("name")].toString() != shown)
                    continue;
                const QJsonArray floats = workspace[QLatin1String("floating_nodes")].toArray();
                for (auto it = floats.end(); it != floats.begin();) {
                    --it;
                    // A floating container is one window with its frame, whatever it holds.
                    QList<QRect> inside;
                    walk(*it, inside);
                    if (!inside.isEmpty())
                        floating.append(rectOf(*it));
                }
                walk(workspace, tiled);
            }
        }
        return fullScreen + floating + tiled;
    }

    // sway keeps one window of a workspace full screen: an overlay shown takes that from the
    // window that was, a video say, which is given it back.
    void restore() const override
    {
        for (const auto &[id, mode] : std::exchange(m_fullScreen, {}))
            ask(m_socket, kRunCommand,
                QByteArrayLiteral("[con_id=") + QByteArray::number(id) + "] fullscreen enable" +
                    (mode == 2 ? " global" : ""));
    }

private:
    QByteArray m_socket;
    // The windows full screen when last listed, with sway's mode: 1 on the workspace, 2 on
    // every output.
    mutable QList<std::pair<qint64, int>> m_fullScreen;
};

} // namespace

std::unique_ptr<WindowList> makeSwayWindowList()
{
    const QByteArray socket = qgetenv("SWAYSOCK");
    if (socket.isEmpty() || !QFileInfo::exists(QString::fromLocal8Bit(socket)))
        return nullptr;
    return std::make_unique<SwayWindowList>(socket);
}
