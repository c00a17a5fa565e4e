#include "overlay/OverlayView.h"

#include <cmath>
#include <functional>
#include <map>

#include <QFile>
#include <QFontMetricsF>
#include <QMenu>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QTimer>

#include "annotate/Drawing.h"
#include "overlay/ImageEncoding.h"
#include "overlay/OverlaySession.h"
#include "settings/Bundle.h"

namespace {

const QColor kSelectedColor = QColor::fromRgbF(215 / 255.0, 215 / 255.0, 215 / 255.0);
const QColor kSeparatorGrey = QColor::fromRgbF(2 / 3.0, 2 / 3.0, 2 / 3.0);
const QColor kWidthGrey = QColor::fromRgbF(0.35, 0.35, 0.35);
const QColor kSwatchOutline = QColor::fromRgbF(0, 0, 0, 90 / 255.0);

// Each icon at display scale 1 and 2; a key whose file is missing or unreadable is absent.
struct IconPair
{
    QImage normal;
    QImage doubled;
};

const std::map<QString, IconPair> &icons()
{
    static const std::map<QString, IconPair> table = [] {
        std::map<QString, IconPair> loaded;
        const QString folder = Bundle::resourcesPath() + QStringLiteral("/Icons/");
        QStringList keys = {QStringLiteral("upload"), QStringLiteral("copy"),
                            QStringLiteral("save"), QStringLiteral("close"),
                            QStringLiteral("undo")};
        for (const auto &item : OverlayView::drawTools())
            keys << item.icon;
        for (const QString &key : keys) {
            IconPair pair{ImageEncoding::readPng(folder + key + QStringLiteral(".png")),
                          ImageEncoding::readPng(folder + key + QStringLiteral("@2x.png"))};
            if (!pair.normal.isNull() || !pair.doubled.isNull())
                loaded.emplace(key, std::move(pair));
        }
        return loaded;
    }();
    return table;
}

void strokeOutline(QPainter &painter, const QRectF &r, const QColor &color)
{
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(color, 1));
    painter.drawRect(r.adjusted(0.5, 0.5, -0.5, -0.5));
}

QImage menuImage(QSizeF size, qreal dpr)
{
    QImage image((size * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(dpr);
    image.fill(Qt::transparent);
    return image;
}

// The menus' items show a check mark in a column of its own before their image, where the
// style would frame the image of a checked item instead: the mark is part of the icon, and
// the style draws every item as one that cannot be checked.
constexpr qreal kCheckColumn = 18;

class CheckColumnStyle : public QProxyStyle
{
public:
    explicit CheckColumnStyle(qreal imageWidth) : m_iconWidth(int(kCheckColumn + imageWidth)) {}

    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        if (metric == PM_SmallIconSize)
            return m_iconWidth;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (element != CE_MenuItem || !item)
            return QProxyStyle::drawControl(element, option, painter, widget);
        QStyleOptionMenuItem plain(*item);
        plain.checkType = QStyleOptionMenuItem::NotCheckable;
        plain.checked = false;
        QProxyStyle::drawControl(element, &plain, painter, widget);
    }

private:
    int m_iconWidth;
};

QMenu *checkColumnMenu(QWidget *parent, qreal imageWidth)
{
    auto *menu = new QMenu(parent);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    auto *style = new CheckColumnStyle(imageWidth);
    style->setParent(menu);
    menu->setStyle(style);
    return menu;
}

// An item's icon at scale 1 and 2: the check mark, if checked, then the image.
QIcon checkColumnIcon(const std::function<QImage(qreal dpr)> &image, bool checked,
                      const QColor &ink)
{
    QIcon icon;
    for (const qreal dpr : {1.0, 2.0}) {
        const QImage picture = image(dpr);
        const QSizeF size = picture.deviceIndependentSize();
        QImage composed = menuImage(QSizeF(kCheckColumn + size.width(), size.height()), dpr);
        QPainter painter(&composed);
        painter.setRenderHint(QPainter::Antialiasing, true);
        if (checked) {
            const qreal y = size.height() / 2;
            painter.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            painter.drawPolyline(QPolygonF{{3, y}, {6.5, y + 3.5}, {13, y - 4}});
        }
        painter.drawImage(QPointF(kCheckColumn, 0), picture);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(composed));
    }
    return icon;
}

} // namespace

const QColor OverlayView::hoverColor = QColor::fromRgbF(240 / 255.0, 240 / 255.0, 240 / 255.0);
const QColor OverlayView::borderColor = QColor::fromRgbF(0.5, 0.5, 0.5);

const std::vector<OverlayView::ActionButton> &OverlayView::buttons()
{
    static const std::vector<ActionButton> table = {
        {QStringLiteral("업로드 (Ctrl+D)"), QStringLiteral("upload"),
         [](OverlayView &v) { v.upload(); }},
        {QStringLiteral("복사 (Ctrl+C)"), QStringLiteral("copy"),
         [](OverlayView &v) { v.copyToClipboard(); }},
        {QStringLiteral("저장 (Ctrl+S)"), QStringLiteral("save"),
         [](OverlayView &v) { v.saveToFile(); }},
        {QStringLiteral("닫기 (Esc)"), QStringLiteral("close"),
         [](OverlayView &v) { v.closeSession(); }},
    };
    return table;
}

const std::vector<OverlayView::ToolItem> &OverlayView::drawTools()
{
    static const std::vector<ToolItem> table = {
        {Tool::pen, QStringLiteral("펜"), QStringLiteral("pen")},
        {Tool::line, QStringLiteral("직선"), QStringLiteral("line")},
        {Tool::arrow, QStringLiteral("화살표"), QStringLiteral("arrow")},
        {Tool::rect, QStringLiteral("사각형"), QStringLiteral("rect")},
        {Tool::marker, QStringLiteral("형광펜"), QStringLiteral("marker")},
        {Tool::text, QStringLiteral("텍스트"), QStringLiteral("text")},
        {Tool::mosaic, QStringLiteral("모자이크"), QStringLiteral("mosaic")},
    };
    return table;
}

const std::vector<OverlayView::PaletteEntry> &OverlayView::palette()
{
    static const std::vector<PaletteEntry> table = {
        {QStringLiteral("빨강"), QColor::fromRgbF(1.0, 0.0, 0.0)},
        {QStringLiteral("주황"), QColor::fromRgbF(1.0, 0.55, 0.0)},
        {QStringLiteral("노랑"), QColor::fromRgbF(1.0, 0.9, 0.0)},
        {QStringLiteral("초록"), QColor::fromRgbF(0.1, 0.65, 0.25)},
        {QStringLiteral("파랑"), QColor::fromRgbF(0.1, 0.4, 1.0)},
        {QStringLiteral("보라"), QColor::fromRgbF(0.6, 0.2, 0.8)},
        {QStringLiteral("검정"), QColor::fromRgbF(0.0, 0.0, 0.0)},
        {QStringLiteral("흰색"), QColor::fromRgbF(1.0, 1.0, 1.0)},
    };
    return table;
}

const QStringList &OverlayView::widthNames()
{
    static const QStringList names = {QStringLiteral("가늘게"), QStringLiteral("보통"),
                                      QStringLiteral("굵게")};
    return names;
}

QRectF OverlayView::toolsRect() const
{
    const qreal B = buttonSize, G = gap, h = toolItemCount() * B, H = height();
    qreal x = m_sel.right() + G;
    if (x + B > width())
        x = m_sel.right() - B - G;
    // Inside, a selection narrower than the bar would be covered by it, and its clicks taken.
    if (x < m_sel.left() && m_sel.left() - G - B >= 0)
        x = m_sel.left() - G - B;
    qreal y = m_sel.bottom() - h;
    y = y < 0 ? 0 : std::min(std::max<qreal>(0, H - h), m_sel.bottom() - h);
    return {x, y, B, h};
}

QRectF OverlayView::toolbarRect() const
{
    const qreal B = buttonSize, G = gap, w = 4 * B, W = width();
    const QRectF tools = toolsRect();
    qreal y = m_sel.bottom() + G;
    if (y + B > height())
        y = std::max<qreal>(0, m_sel.bottom() - B - G);
    if (y < m_sel.top() && m_sel.top() - G - B >= 0)
        y = m_sel.top() - G - B;
    // The bar ends left of a tools bar inside the selection, or of one beside it that stands
    // across the bar's row: the tools bar is drawn on top and would hide buttons, and a click
    // on a tool must never run the button under it.
    const bool inside = m_sel.right() > tools.left() && tools.left() > m_sel.left();
    const bool across = tools.left() < m_sel.right() && tools.top() < y + B && y < tools.bottom();
    const qreal r = inside || across ? tools.left() - G : m_sel.right();
    qreal x = r - w;
    x = x < 0 ? 0 : std::min(x, W - w);
    return {x, y, w, B};
}

QRectF OverlayView::buttonCell(int index) const
{
    const QRectF bar = toolbarRect();
    const qreal w = bar.width() / 4;
    return {bar.left() + index * w, bar.top(), w, bar.height()};
}

QRectF OverlayView::toolCell(int index) const
{
    const QRectF bar = toolsRect();
    return {bar.left(), bar.top() + index * bar.width(), bar.width(), bar.width()};
}

int OverlayView::hitButton(QPointF p) const
{
    if (!hasSelection() || (m_mode != Mode::idle && m_mode != Mode::drawing))
        return -1;
    for (int i = 0; i < int(buttons().size()); ++i) {
        if (Drawing::contains(buttonCell(i), p))
            return i;
    }
    return -1;
}

int OverlayView::hitTool(QPointF p) const
{
    if (!hasSelection() || (m_mode != Mode::idle && m_mode != Mode::drawing))
        return -1;
    for (int i = 0; i < toolItemCount(); ++i) {
        if (Drawing::contains(toolCell(i), p))
            return i;
    }
    return -1;
}

std::optional<OverlayView::Tip> OverlayView::currentTip() const
{
    if (m_hoverTool >= 0) {
        const QRectF cell = toolCell(m_hoverTool);
        QString text;
        if (m_hoverTool == colorItem())
            text = QStringLiteral("색상");
        else if (m_hoverTool == widthItem())
            text = QStringLiteral("굵기");
        else if (m_hoverTool == undoItem())
            text = QStringLiteral("실행 취소 (Ctrl+Z)");
        else
            text = drawTools()[size_t(m_hoverTool)].tip;
        return Tip{text, QPointF(cell.right() + 4, cell.top() + cell.height() * 0.25)};
    }
    if (m_hoverButton >= 0) {
        const QRectF cell = buttonCell(m_hoverButton);
        return Tip{buttons()[size_t(m_hoverButton)].tip,
                   QPointF(cell.left(), toolbarRect().bottom() + 4)};
    }
    return std::nullopt;
}

std::optional<QRectF> OverlayView::tipRect() const
{
    const std::optional<Tip> tip = currentTip();
    if (!tip)
        return std::nullopt;
    const QSizeF text = QFontMetricsF(m_font).size(0, tip->text);
    QRectF r(tip->origin, QSizeF(std::ceil(text.width()) + 10, std::ceil(text.height()) + 10));
    if (r.right() > width())
        r.moveLeft(toolsRect().left() - r.width() - 4);
    if (r.bottom() > height())
        r.moveTop(toolbarRect().top() - r.height() - 4);
    return r;
}

void OverlayView::drawIcon(QPainter &painter, const QString &key, const QRectF &cell) const
{
    const auto found = icons().find(key);
    if (found == icons().end())
        return;
    const bool doubled = painter.device()->devicePixelRatioF() > 1.0;
    const QImage &image =
        (doubled && !found->second.doubled.isNull()) || found->second.normal.isNull()
            ? found->second.doubled
            : found->second.normal;
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawImage(cell.adjusted(10, 10, -10, -10), image, QRectF(image.rect()));
    painter.restore();
}

void OverlayView::drawToolbar(QPainter &painter) const
{
    const QRectF bar = toolbarRect();
    painter.fillRect(bar, Qt::white);
    for (int i = 0; i < int(buttons().size()); ++i) {
        const QRectF cell = buttonCell(i);
        if (i == m_hoverButton)
            painter.fillRect(cell, hoverColor);
        if (i == 3) {
            painter.setPen(QPen(kSeparatorGrey, 1));
            painter.drawLine(QPointF(cell.left() + 0.5, cell.top() + 4),
                             QPointF(cell.left() + 0.5, cell.bottom() - 5));
        }
        drawIcon(painter, buttons()[size_t(i)].icon, cell);
    }
    strokeOutline(painter, bar, borderColor);
}

void OverlayView::drawToolsBar(QPainter &painter) const
{
    const QRectF bar = toolsRect();
    painter.fillRect(bar, Qt::white);
    const int tools = int(drawTools().size());
    for (int i = 0; i < toolItemCount(); ++i) {
        const QRectF cell = toolCell(i);
        if (i < tools && drawTools()[size_t(i)].tool == m_tool)
            painter.fillRect(cell, kSelectedColor);
        else if (i == m_hoverTool)
            painter.fillRect(cell, hoverColor);
        if (i == colorItem()) {
            painter.setPen(QPen(kSeparatorGrey, 1));
            painter.drawLine(QPointF(cell.left() + 4, cell.top() + 0.5),
                             QPointF(cell.right() - 5, cell.top() + 0.5));
            painter.save();
            painter.setRenderHint(QPainter::Antialiasing, true);
            const QPainterPath swatch = Drawing::roundedRect(cell.adjusted(11, 11, -11, -11), 4);
            painter.fillPath(swatch, m_color);
            painter.strokePath(swatch, QPen(kSwatchOutline, 1));
            painter.restore();
        } else if (i == widthItem()) {
            painter.save();
            painter.setRenderHint(QPainter::Antialiasing, true);
            painter.setPen(QPen(kWidthGrey, lineWidths[m_widthLevel], Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(QPointF(cell.left() + 12, cell.center().y()),
                             QPointF(cell.right() - 12, cell.center().y()));
            painter.restore();
        } else {
            drawIcon(painter, i < tools ? drawTools()[size_t(i)].icon : QStringLiteral("undo"),
                     cell);
        }
    }
    strokeOutline(painter, bar, borderColor);
}

QImage OverlayView::swatchImage(const QColor &color, qreal dpr)
{
    QImage image = menuImage(QSizeF(16, 16), dpr);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    const QRectF bounds(0, 0, 16, 16);
    painter.fillPath(Drawing::roundedRect(bounds.adjusted(1, 1, -1, -1), 3), color);
    painter.strokePath(Drawing::roundedRect(bounds.adjusted(1.5, 1.5, -1.5, -1.5), 3),
                       QPen(QColor::fromRgbF(0, 0, 0, 0.35), 1));
    return image;
}

QImage OverlayView::widthImage(qreal width, qreal dpr)
{
    QImage image = menuImage(QSizeF(28, 16), dpr);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(kWidthGrey, width, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(3, 8), QPointF(25, 8));
    return image;
}

void OverlayView::popUpColorMenu(QPointF p)
{
    QMenu *menu = checkColumnMenu(this, 16);
    const QColor ink = menu->palette().color(QPalette::Text);
    for (const PaletteEntry &entry : palette()) {
        QAction *item = menu->addAction(
            checkColumnIcon([&](qreal dpr) { return swatchImage(entry.color, dpr); },
                            entry.color == m_color, ink),
            entry.name);
        item->setCheckable(true);
        item->setChecked(entry.color == m_color);
        item->setData(entry.color);
        connect(item, &QAction::triggered, this, [this, item] { pickColor(item); });
    }
    showMenu(menu, p);
}

void OverlayView::popUpWidthMenu(QPointF p)
{
    QMenu *menu = checkColumnMenu(this, 28);
    const QColor ink = menu->palette().color(QPalette::Text);
    for (int level = 0; level < int(widthNames().size()); ++level) {
        QAction *item = menu->addAction(
            checkColumnIcon([&](qreal dpr) { return widthImage(lineWidths[level], dpr); },
                            level == m_widthLevel, ink),
            widthNames()[level]);
        item->setCheckable(true);
        item->setChecked(level == m_widthLevel);
        item->setData(level);
        connect(item, &QAction::triggered, this, [this, item] { pickWidth(item); });
    }
    showMenu(menu, p);
}

void OverlayView::showMenu(QMenu *menu, QPointF p)
{
    // The menu takes the keys while it is open (Escape closes it, not the overlay); they come
    // back to this display when it closes.
    if (QWidget *grabber = QWidget::keyboardGrabber())
        grabber->releaseKeyboard();
    connect(menu, &QMenu::aboutToHide, this, [self = QPointer<OverlayView>(this)] {
        QTimer::singleShot(0, self, [self] {
            if (self && self->isVisible())
                self->makeKey();
        });
    });
    m_menu = menu;
    menu->popup(mapToGlobal(p.toPoint()));
}

void OverlayView::pickColor(const QAction *item)
{
    const QVariant data = item ? item->data() : QVariant();
    if (!data.canConvert<QColor>() || data.typeId() != QMetaType::QColor)
        return;
    m_color = data.value<QColor>();
    markDirty(toolsRect());
}

void OverlayView::pickWidth(const QAction *item)
{
    bool ok = false;
    const int level = item ? item->data().toInt(&ok) : -1;
    if (!ok || level < 0 || level > 2)
        return;
    m_widthLevel = level;
    markDirty(toolsRect());
}
