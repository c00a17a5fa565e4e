#pragma once

#include <QImage>
#include <QList>
#include <QRect>
#include <QStringList>

#include <functional>
#include <memory>

#include "capture/ScreenShot.h"

class QObject;

// Capture through the desktop portal's Screenshot interface, for sessions whose screens a
// client cannot read itself. The portal answers with one picture of the whole screen layout.
namespace PortalCapture {

// The portal keeps a request open while it asks the user; one unanswered this long is given up.
constexpr int kAnswerTimeoutMs = 30000;
// The largest picture taken, decoded, and the largest file read for it: the layout at one
// scale throughout (three 4K screens, one at scale 2, come to 23040x4320 pixels).
constexpr qint64 kMaxPictureBytes = qint64(1) << 30;

// One call to the portal, cut into one shot per screen, without waiting for it: done runs on
// context's thread once the portal answers or answerTimeoutMs have passed, never after context
// is gone. The shots are empty, with one line in the system log saying why, when the portal
// refuses or fails; refused tells that the desktop (or its user) would not allow the capture.
// The picture file the portal names is removed as soon as it is read.
void captureAll(QObject *context, std::function<void(QList<ScreenShot> shots, bool refused)> done,
                int answerTimeoutMs = kAnswerTimeoutMs);

// Removes the answer the desktop stored for screen captures by programs outside a sandbox
// (its permission store's "screenshot" entry), so that the next request asks the user again.
void forgetRefusal();

// The whole of a picture file: a regular file, not reached through a link, of a size a picture
// can have; empty otherwise.
QByteArray readPicture(const QString &file);

// The portal's picture file as one Format_RGB32 image. An 8-bit RGB or RGBA PNG without
// interlacing, what the portals write, is inflated in one piece and its rows unfiltered
// straight into that format; any other file goes through QImageReader. Null when the data
// cannot be decoded.
QImage decodePicture(const QByteArray &data);

// Follows the picture a desktop writes into one of folders while it is being written, decoding
// it as it comes: a desktop shell takes a second or more to write a large picture, and only its
// last part is left to decode once the portal names the file. Watches from construction; each
// file created there is followed until it shows it is no picture of the kind decodePicture()
// inflates in one piece.
class PictureWatch
{
public:
    explicit PictureWatch(const QStringList &folders);
    ~PictureWatch();
    PictureWatch(const PictureWatch &) = delete;
    PictureWatch &operator=(const PictureWatch &) = delete;

    // The picture in file, which its writer has finished: as decoded while it came when it is
    // the file followed (by identity, whatever its name now) and it decoded in full, null
    // otherwise. Ends the watch.
    QImage take(const QString &file);

private:
    struct Follower;
    std::unique_ptr<Follower> d;
};

// A screen's place in the layout: its geometry in layout units and its pixels per unit.
struct Area
{
    QRect geometry;
    qreal scale = 1;
};

// Cuts a picture of the bounding box of areas, rendered at one scale throughout, into one
// Format_RGB32 image per area at that area's own pixel size; a piece rendered at a higher scale
// is resampled (sampled at a whole multiple of its scale). An area never gets more pixels than
// the picture holds of it: a desktop that lays its outputs out in pixels reports a scale-2
// output at its pixel size, and the picture is at that size already. Empty when the picture's
// size fits no single scale of the layout.
QList<QImage> cutLayout(const QImage &picture, const QList<Area> &areas);

} // namespace PortalCapture
