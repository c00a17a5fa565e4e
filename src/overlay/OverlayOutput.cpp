#include "overlay/OverlayView.h"

#include <cmath>

#include <QBuffer>
#include <QDateTime>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QMimeData>
#include <QPainter>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

#include "annotate/Annotation.h"
#include "annotate/Drawing.h"
#include "overlay/OverlaySession.h"
#include "overlay/ImageEncoding.h"
#include "overlay/OutputActions.h"
#include "settings/AppSettings.h"
#include "settings/SystemLog.h"
#include "upload/Uploader.h"

namespace {

constexpr int kErrorShownMs = 5000;
constexpr int kSpinnerIntervalMs = 1000 / 30;

} // namespace

QRect OverlayView::pixelsOf(const QRectF &s) const
{
    // The pixels whose centres s covers, each edge at its own display's ratio: at a fractional
    // scale (1.25) an edge falls inside a pixel, and a display's points need not be as many
    // pixels across as down.
    const qreal scaleY = height() > 0 ? m_screenImage.height() / qreal(height()) : m_scale;
    return {QPoint(qRound(s.left() * m_scale), qRound(s.top() * scaleY)),
            QPoint(qRound(s.right() * m_scale), qRound(s.bottom() * scaleY)) - QPoint(1, 1)};
}

std::optional<QImage> OverlayView::renderSelection()
{
    commitText();
    const QRect pixels = pixelsOf(m_sel);
    if (pixels.isEmpty())
        return std::nullopt;
    QImage bitmap(pixels.size(), QImage::Format_RGBA8888_Premultiplied);
    if (bitmap.isNull())
        return std::nullopt;
    QPainter painter(&bitmap);
    // Only the selection's pixels are copied, as they are.
    painter.drawImage(QPoint(), m_screenImage, pixels);
    painter.scale(pixels.width() / m_sel.width(), pixels.height() / m_sel.height());
    painter.translate(-m_sel.topLeft());
    painter.save();
    painter.setClipRect(m_sel);
    painter.setRenderHint(QPainter::Antialiasing, true);
    for (const auto &shape : m_shapes)
        shape->draw(painter);
    painter.restore();
    painter.end();
    return bitmap;
}

void OverlayView::copyToClipboard()
{
    if (!hasSelection())
        return;
    const std::optional<QImage> bitmap = renderSelection();
    if (!bitmap)
        return;
    QMimeData *data = OutputActions::clipboardData(*bitmap);
    if (!data)
        return;
    OutputActions::setClipboard(data);
    closeSession();
}

void OverlayView::saveToFile()
{
    if (!hasSelection() || !m_session)
        return;
    const std::optional<QImage> bitmap = renderSelection();
    if (!bitmap)
        return;
    const QString name = QStringLiteral("corvane_") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_HHmmss")) +
                         QStringLiteral(".png");
    const AppSettings &settings = m_session->settings();
    const QString folder = settings.effectiveSaveFolder();
    const bool direct = settings.saveWithoutDialog();
    QString target;
    if (direct) {
        target = OutputActions::uniquePath(QDir(folder).filePath(name));
    } else {
        QPointer<OverlaySession> session = m_session;
        session->hideAll();
        target = OutputActions::askForTarget(QDir(folder).filePath(name));
        if (target.isEmpty()) {
            if (session && !session->isClosed())
                session->show();
            return;
        }
        // A display change may have closed the capture while the panel ran: the picture is
        // in hand, and the name chosen for it still gets it.
        if (!session || session->isClosed()) {
            if (!OutputActions::writeImage(*bitmap, target))
                systemLog(QStringLiteral("저장하지 못했습니다: ") + target);
            return;
        }
    }
    if (!OutputActions::writeImage(*bitmap, target)) {
        m_session->show();
        showError(QStringLiteral("저장하지 못했습니다: ") + target);
        return;
    }
    closeSession();
    if (direct)
        OutputActions::reveal(target);
}

void OverlayView::showError(const QString &message)
{
    m_errorMessage = message;
    if (m_errorTimer) {
        m_errorTimer->stop();
        m_errorTimer->deleteLater();
    }
    m_errorTimer = new QTimer(this);
    m_errorTimer->setSingleShot(true);
    connect(m_errorTimer, &QTimer::timeout, this, [this] {
        m_errorMessage.reset();
        update();
    });
    m_errorTimer->start(kErrorShownMs);
    update();
}

void OverlayView::upload()
{
    if (!hasSelection() || m_uploadProgress)
        return;
    const std::optional<QImage> bitmap = renderSelection();
    if (!bitmap)
        return;
    const QByteArray png = ImageEncoding::encodePng(*bitmap);
    if (png.isEmpty())
        return;
    setUploadProgress(0.0);
    QPointer<OverlayView> self(this);
    m_uploader->upload(
        png, AppSettings::serverUrl(),
        [self](double fraction) {
            if (self)
                self->setUploadProgress(fraction);
        },
        [self](const UploadResult &result) {
            if (!self)
                return;
            if (!result.isSuccess()) {
                const QString why =
                    QStringLiteral("업로드하지 못했습니다: ") + result.error().message;
                self->setUploadProgress(std::nullopt);
                if (self->m_session && !self->m_session->isClosed())
                    self->showError(why);
                else
                    systemLog(why);
                return;
            }
            const QString link = result.link();
            auto *text = new QMimeData;
            text->setText(link);
            OutputActions::setClipboard(text);
            self->closeSession();
            OutputActions::openInBrowser(link, AppSettings::serverUrl());
        });
}

void OverlayView::setUploadProgress(std::optional<double> p)
{
    if (!m_session || m_session->isClosed())
        return;
    const bool wasEmpty = !m_uploadProgress;
    m_uploadProgress = p;
    if (wasEmpty && p) {
        // The tip of what was under the pointer goes with its highlight.
        redrawingChrome([this] {
            m_hoverButton = -1;
            m_hoverTool = -1;
        });
        m_spinner = new QTimer(this);
        connect(m_spinner, &QTimer::timeout, this, [this] {
            m_spinAngle = std::fmod(m_spinAngle + 12, 360.0);
            markDirty(toolbarRect());
        });
        m_spinner->start(kSpinnerIntervalMs);
    } else if (!wasEmpty && !p) {
        if (m_spinner) {
            m_spinner->stop();
            m_spinner->deleteLater();
            m_spinner = nullptr;
        }
        setCursor(Qt::CrossCursor);
        markDirty(toolbarRect());
        m_session->uploadEnded();
        return;
    }
    markDirty(toolbarRect());
}

void OverlayView::drawUploadProgress(QPainter &painter, double p) const
{
    static const QColor kDark = QColor::fromRgbF(80 / 255.0, 80 / 255.0, 80 / 255.0);
    static const QColor kText = QColor::fromRgbF(60 / 255.0, 60 / 255.0, 60 / 255.0);
    const QRectF r = toolbarRect();
    painter.fillRect(r, Qt::white);
    const QRectF spinner(r.left() + 10, r.center().y() - 9, 18, 18);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(kDark, 2.5, Qt::SolidLine, Qt::RoundCap));
    // Qt's angles turn counter-clockwise on screen; negate them so that the arc grows and
    // turns clockwise, as increasing angles do in y-down coordinates.
    QPainterPath arc;
    const qreal start = -m_spinAngle;
    arc.arcMoveTo(spinner, start);
    arc.arcTo(spinner, start, -270);
    painter.drawPath(arc);
    painter.restore();

    const QFontMetricsF metrics(m_font);
    const qreal textW = std::ceil(metrics.horizontalAdvance(QStringLiteral("100%")));
    const qreal w = (r.right() - 10 - textW) - (spinner.right() + 10) - 5;
    const QRectF track(spinner.right() + 10, r.center().y() - 3, w, 6);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillPath(Drawing::roundedRect(track, 3), hoverColor);
    if (p > 0) {
        const qreal fill = std::max(p * w, 6.0);
        painter.fillPath(Drawing::roundedRect(QRectF(track.left(), track.top(), fill, 6), 3),
                         kDark);
    }
    painter.restore();

    const QString percent = QString::number(qint64(std::trunc(p * 100))) + QStringLiteral("%");
    const QRectF box(r.right() - 10 - textW, r.top(), textW, r.height());
    const QSizeF size = metrics.size(0, percent);
    Drawing::drawText(
        painter, percent,
        QPointF(box.center().x() - size.width() / 2, box.center().y() - size.height() / 2), m_font,
        kText);
    painter.setPen(QPen(borderColor, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));
}
