#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPointer>
#include <QRectF>
#include <QWidget>

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "annotate/Tool.h"
#include "capture/ScreenShot.h"
#include "overlay/OverlaySession.h"

class Annotation;
class QAction;
class QMenu;
class QTimer;
class TextEntryView;
class Uploader;

// One display's frozen screen, dimmed, with the user's selection cut out at full brightness,
// the shapes drawn inside it and the two bars around it. Geometry is in the view's own points
// (origin at its display's top-left, y downward); every pointer position is floored to whole
// points before use. The methods live in several files: input (OverlayInput.cpp), painting
// (OverlayPaint.cpp), the bars (OverlayBars.cpp) and the output actions (OverlayOutput.cpp).
class ServerSurface;

class OverlayView : public QWidget
{
    Q_OBJECT
public:
    enum class Mode
    {
        idle,
        selecting,
        moving,
        resizing,
        drawing
    };
    enum class Grip
    {
        none,
        move,
        n,
        s,
        e,
        w,
        ne,
        nw,
        se,
        sw
    };

    struct ToolItem
    {
        Tool tool;
        QString tip;
        QString icon;
    };
    struct ActionButton
    {
        QString tip;
        QString icon;
        void (*run)(OverlayView &view);
    };
    struct PaletteEntry
    {
        QString name;
        QColor color;
    };

    // Bar colours shared by the bars and the upload strip that stands in for the toolbar.
    static const QColor hoverColor;
    static const QColor borderColor;

    static constexpr qreal buttonSize = 42;
    static constexpr qreal gap = 8;
    static const std::vector<ActionButton> &buttons();
    static const std::vector<ToolItem> &drawTools();
    static const std::vector<PaletteEntry> &palette();
    static const QStringList &widthNames();
    static constexpr qreal lineWidths[3] = {2, 3, 5};
    static constexpr qreal markerWidths[3] = {10, 16, 24};
    static int toolItemCount() { return int(drawTools().size()) + 3; }
    static int colorItem() { return int(drawTools().size()); }
    static int widthItem() { return colorItem() + 1; }
    static int undoItem() { return colorItem() + 2; }
    static constexpr qreal mosaicBlock = 10;
    static constexpr qreal gripRadius = 6;
    // A new selection narrower or lower than this is no selection.
    static constexpr qreal minimumSide = 3;
    // The magnifier shows each frozen pixel as a square of this many device pixels, with the
    // pointer's pixel amid those of this many points either side of it.
    static constexpr int magnifierZoom = 8;
    static constexpr qreal magnifierReach = 7;
    // Between the pointer's point and the magnifier, on whichever side it goes.
    static constexpr qreal magnifierGap = 16;

    OverlayView(const ScreenShot &shot, OverlaySession *session, QWidget *parent = nullptr);
    ~OverlayView() override;

    // With the X server's copy of the frozen screen, the view paints its native window from
    // it: the first frame goes out right after the window is mapped, before the picture is in
    // this process (setScreenImage() brings it), and a Qt backing store of the screen's size
    // is never made. Returns false when the window cannot take the copy; Qt paints then.
    bool paintFromServer();
    // Reads the picture from the server's copy when the shot came without it; false when the
    // server refused.
    bool readScreenImage();
    // Paints region (view points) on the server; what only this process can draw (the chrome
    // and the shapes) is drawn here and put there, the rest is copied within the server.
    void paintOnServer(const QRegion &region);

    // The other programs' windows over this display at the moment of capture, in its points
    // from its top-left corner, cut to it, topmost first; none where the desktop does not tell.
    void setWindows(QList<QRect> windows) { m_windows = std::move(windows); }

    // Commits pending text, then drops this view's selection and shapes; the tool, colour
    // and width stay.
    void clearSelectionExternally();
    // Stops the view's timers and removes its text editor.
    void tearDown();

    Grip hitGrip(QPointF p) const;
    void startDrawing(QPointF p);
    void updateHover(QPointF p);
    void undo();
    // Puts back the last shape undo() removed, until a new shape is made.
    void redo();

    // Geometry of the chrome, in view points.
    QRectF labelRect() const;
    QString sizeText() const;
    std::optional<QRectF> chromeBounds() const;
    // The error message's box while one is shown over a selection.
    std::optional<QRectF> errorRect() const;
    // The magnifier beside the pointer while a selection is dragged out, moved or resized,
    // or the pointer hovers with no selection; never part of the chrome or the output.
    std::optional<QRectF> magnifierRect() const;
    // Its caption: the pointer's pixel on the display ("x, y") and that pixel's "#RRGGBB".
    QStringList magnifierText() const;
    // With no selection and no tool, the topmost window recorded at capture under the pointer:
    // outlined as a selection is, without its grips and bars, and selected by a click.
    std::optional<QRectF> pickedWindow() const;
    QRectF toolsRect() const;
    QRectF toolbarRect() const;
    QRectF buttonCell(int index) const;
    QRectF toolCell(int index) const;
    struct Tip
    {
        QString text;
        QPointF origin;
    };
    std::optional<Tip> currentTip() const;
    std::optional<QRectF> tipRect() const;
    int hitButton(QPointF p) const;
    int hitTool(QPointF p) const;

    // The bars' pop-up menus; the open one is kept so that it can be inspected and closed.
    void popUpColorMenu(QPointF p);
    void popUpWidthMenu(QPointF p);
    void pickColor(const QAction *item);
    void pickWidth(const QAction *item);
    QMenu *openMenu() const;
    static QImage swatchImage(const QColor &color, qreal dpr = 1);
    static QImage widthImage(qreal width, qreal dpr = 1);

    // Output actions.
    void commitText();
    std::optional<QImage> renderSelection();
    // The frozen picture's pixels that the output of a selection s holds.
    QRect pixelsOf(const QRectF &s) const;
    void copyToClipboard();
    void saveToFile();
    void upload();
    void showError(const QString &message);
    // The one place where the upload state changes; ignored once the session has closed.
    void setUploadProgress(std::optional<double> p);

    // State, read by the session, the tests and the output actions.
    OverlaySession *session() const { return m_session; }
    const QImage &screenImage() const { return m_screenImage; }
    qreal scale() const { return m_scale; }
    QRectF sel() const { return m_sel; }
    bool hasSelection() const { return m_sel.width() > 0 && m_sel.height() > 0; }
    Mode mode() const { return m_mode; }
    Grip grip() const { return m_grip; }
    Tool tool() const { return m_tool; }
    QColor color() const { return m_color; }
    int widthLevel() const { return m_widthLevel; }
    int hoverButton() const { return m_hoverButton; }
    int hoverTool() const { return m_hoverTool; }
    const std::vector<std::shared_ptr<Annotation>> &shapes() const { return m_shapes; }
    std::optional<double> uploadProgress() const { return m_uploadProgress; }
    std::optional<QString> errorMessage() const { return m_errorMessage; }
    TextEntryView *textEntry() const;
    const QFont &font() const { return m_font; }

    // Paints the area r (view points) with the given painter; the paint event and the tests'
    // golden images both come through here.
    void drawContents(QPainter &painter, const QRectF &r) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    QPaintEngine *paintEngine() const override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    // The view shows no focus; QWidget would repaint all of it on every focus change.
    void focusInEvent(QFocusEvent *) override {}
    void focusOutEvent(QFocusEvent *) override {}
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void mouseDown(QPointF p);
    void mouseDragged(QPointF p);
    void mouseUp();
    void rightMouseDown();
    void mouseMoved(QPointF p);
    void keyDown(QKeyEvent *event);
    // The arrow keys: false when the key is none of them.
    bool nudge(const QKeyEvent *event);
    // s moved by (dx, dy) and kept inside the view, as the selection is by a drag.
    QRectF movedInside(const QRectF &s, qreal dx, qreal dy) const;
    void beginDrag(QPointF p, Grip g);
    // A new selection in place of this display's, its shapes and the other displays'.
    void replaceSelection(const QRectF &s);
    std::optional<QRectF> windowAt(QPointF p) const;
    // What is shown undimmed with a dashed border and size label: the selection, or else the
    // picked window; empty when neither.
    QRectF outlined() const;
    // The area the picked window's outline repaints.
    std::optional<QRectF> pickedWindowBounds() const;
    // Dragging out a new selection that has not yet replaced the one there was.
    bool selectionPending() const;
    // A selection on this display or another one of the session.
    bool selectionAnywhere() const;
    // Presses wait while an upload runs on any display of the session.
    bool uploadRunning() const;
    void toggleTool(Tool t);
    void makeKey();
    void showMenu(QMenu *menu, QPointF p);
    void addText(const QString &text, QPointF origin);
    void cancelText();
    // Removes the editor without a word to it; the keys stay where they are.
    void dropTextEntry();
    void closeSession();
    void moveLastShape(std::vector<std::shared_ptr<Annotation>> &from,
                       std::vector<std::shared_ptr<Annotation>> &to);
    // Adding or clearing shapes forgets what undo() removed.
    void addShape(std::shared_ptr<Annotation> shape);
    void clearShapes();

    // Marks for repainting the union of the chrome bounds before and after change().
    template<typename Change> void redrawingChrome(Change change);
    void markDirty(const std::optional<QRectF> &r);
    // Sets the pointer's point (none once it has left) around an input handler, and marks
    // where the magnifier was and is when that moved it.
    template<typename Handler> void followingPointer(std::optional<QPointF> p, Handler handler);
    // The display pixel under the pointer's point.
    QPoint magnifiedPixel() const;
    // The eight grips' squares, as drawn.
    std::array<QRectF, 8> handleSquares() const;
    // The areas paintOnServer() must draw in this process: the chrome, the shapes and the
    // magnifier.
    std::vector<QRect> clientDrawnParts() const;

    void drawToolbar(QPainter &painter) const;
    void drawToolsBar(QPainter &painter) const;
    void drawUploadProgress(QPainter &painter, double progress) const;
    void drawIcon(QPainter &painter, const QString &key, const QRectF &cell) const;
    void drawMagnifier(QPainter &painter, const QRectF &d) const;

    QPointer<OverlaySession> m_session;
    QImage m_screenImage;
    std::shared_ptr<const ServerCopy> m_serverCopy;
    QList<QRect> m_windows;
    std::unique_ptr<ServerSurface> m_surface;
    qreal m_scale = 1;
    QFont m_font;
    QFont m_textFont;
    Uploader *m_uploader = nullptr;
    QRectF m_sel;
    std::vector<std::shared_ptr<Annotation>> m_shapes;
    // What undo() removed, the last removed at the back.
    std::vector<std::shared_ptr<Annotation>> m_undone;
    std::shared_ptr<Annotation> m_drawing;
    Mode m_mode = Mode::idle;
    Grip m_grip = Grip::none;
    QPointF m_dragStart;
    // The pointer's last point over the view, kept inside it.
    std::optional<QPointF> m_pointer;
    QRectF m_selAtDragStart;
    Tool m_tool = Tool::none;
    QColor m_color;
    int m_widthLevel = 1;
    int m_hoverButton = -1;
    int m_hoverTool = -1;
    std::optional<double> m_uploadProgress;
    qreal m_spinAngle = 0;
    QTimer *m_spinner = nullptr;
    QPointer<TextEntryView> m_textEntry;
    std::optional<QString> m_errorMessage;
    QTimer *m_errorTimer = nullptr;
    QPointer<QMenu> m_menu;
};

template<typename Change> void OverlayView::redrawingChrome(Change change)
{
    // The error box follows the selection without being part of the chrome bounds; where it
    // was must be repainted too, or a moved selection leaves a stale copy behind.
    const std::optional<QRectF> before = chromeBounds(), errorBefore = errorRect();
    change();
    const std::optional<QRectF> after = chromeBounds(), errorAfter = errorRect();
    if (before && after)
        markDirty(before->united(*after));
    else
        markDirty(before ? before : after);
    if (errorBefore != errorAfter) {
        markDirty(errorBefore);
        markDirty(errorAfter);
    }
}

template<typename Handler>
void OverlayView::followingPointer(std::optional<QPointF> p, Handler handler)
{
    const std::optional<QRectF> before = magnifierRect(), pickedBefore = pickedWindowBounds();
    if (p)
        p = QPointF(std::clamp(p->x(), 0.0, std::max(0.0, width() - 1.0)),
                    std::clamp(p->y(), 0.0, std::max(0.0, height() - 1.0)));
    m_pointer = p;
    handler();
    const std::optional<QRectF> after = magnifierRect(), pickedAfter = pickedWindowBounds();
    if (before != after) {
        markDirty(before);
        markDirty(after);
    }
    if (pickedBefore != pickedAfter) {
        markDirty(pickedBefore);
        markDirty(pickedAfter);
    }
}
