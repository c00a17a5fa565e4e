#include <QApplication>
#include <QBackingStore>
#include <QClipboard>
#include <QDesktopServices>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>

#include <sys/resource.h>

#include "annotate/Annotation.h"
#include "annotate/Drawing.h"
#include "annotate/TextEntryView.h"
#include "overlay/ImageEncoding.h"
#include "overlay/OutputActions.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "settings/AppSettings.h"
#include "testkit/Golden.h"
#include "testkit/ViewInput.h"

// Overlay sessions in process on two offscreen screens side by side, 1440x900 and 1280x800,
// fed with drawn pictures (the offscreen grab is no real screen).
namespace {

using namespace testkit;

constexpr QEvent::Type Press = QEvent::MouseButtonPress, Move = QEvent::MouseMove;

// Another program's windows on the first display, topmost first: the upper one partly over the
// lower one.
const QList<QRect> windows{{300, 160, 220, 140}, {240, 100, 200, 120}};

struct Session : OverlaySessionDelegate
{
    QTemporaryDir dir;
    AppSettings settings{std::make_unique<QSettings>(dir.filePath("c.conf"), QSettings::IniFormat)};
    std::unique_ptr<OverlaySession> session;
    int closed = 0;

    explicit Session(qreal imageScale = 1) { open(imageScale); }
    void overlaySessionDidClose(OverlaySession *) override { ++closed; }
    void open(qreal imageScale = 1)
    {
        QList<ScreenShot> shots;
        for (QScreen *screen : QGuiApplication::screens()) {
            // Areas, edges and a gradient, so that a wrong pixel shows.
            QImage image(screen->geometry().size() * imageScale, QImage::Format_RGB32);
            QPainter p(&image);
            QLinearGradient g(0, 0, image.width(), image.height());
            g.setColorAt(0, QColor::fromHsv((shots.size() + 1) * 70, 120, 230));
            g.setColorAt(1, QColor::fromHsv((shots.size() + 1) * 70 + 150, 200, 120));
            p.fillRect(image.rect(), g);
            for (int i = 0; i < 40; ++i)
                p.fillRect(i * 97 % image.width(), i * 61 % image.height(), 40 + i, 20 + i,
                           QColor::fromHsv(i * 37 % 360, 200, 100 + i * 3));
            shots.append({screen, image});
        }
        session = std::make_unique<OverlaySession>(shots, settings);
        session->delegate = this;
        view(0)->setWindows(windows);
    }
    OverlayView *view(int i) const { return session->windows().at(i)->overlayView(); }
    // View i with `sel` made by a drag with no tool (an empty one makes none), then `tool`
    // chosen from its bar.
    OverlayView *select(int i, const QRectF &sel, Tool tool = Tool::none) const
    {
        if (!sel.isEmpty())
            drag(view(i), sel.topLeft(), sel.bottomRight());
        chooseTool(view(i), tool);
        return view(i);
    }
};

} // namespace

class TestOverlayView : public QObject
{
    Q_OBJECT

    QList<QUrl> m_opened;

private slots:
    // Selecting, moving and resizing by the grips, each within the view; a grip reaches 6
    // points either side of its edge and wins over drawing, and where two meet the corner wins.
    // The arrow keys move the selection as a drag does, with Alt its right or bottom edge
    // down to the minimum side; Shift makes a step ten points. A row with no `from` presses
    // the keys combined in `to`'s x instead of dragging.
    void drags_data()
    {
        QTest::addColumn<QRectF>("initial");
        QTest::addColumn<Tool>("tool");
        QTest::addColumn<QPointF>("from");
        QTest::addColumn<QPointF>("to");
        QTest::addColumn<QRectF>("expected");
        const auto row = [](const char *name, QRectF initial, Tool tool, QPointF from, QPointF to,
                            QRectF expected) {
            QTest::newRow(name) << initial << tool << from << to << expected;
        };
        const QRectF none, square(100, 100, 50, 50), wide(100, 100, 200, 100);
        const Tool no = Tool::none, pen = Tool::pen;
        // Near the origin, where a grip of no selection would resize an empty rectangle.
        row("a click selects nothing", none, no, {2, 2}, {4, 4}, none);
        row("the last point takes in the edge", none, no, {1400, 850}, {1439, 899},
            {1400, 850, 40, 50});
        row("moved to the right edge", wide, no, {150, 150}, {2000, 150}, {1240, 100, 200, 100});
        row("7 inside moves, up to 0,0", square, no, {107, 120}, {-300, -300}, {0, 0, 50, 50});
        row("w grip from 6 inside", square, no, {106, 120}, {96, 120}, {90, 100, 60, 50});
        row("w grip from 5 outside, past e", square, no, {95, 120}, {180, 120}, {150, 100, 35, 50});
        row("6 outside selects anew", square, no, {94, 120}, {84, 130}, {84, 120, 10, 10});
        row("w grip from outside to the edge", square, no, {97, 120}, {0, 120}, {0, 100, 150, 50});
        row("se grip from outside to the corner", square, no, {153, 153}, {1600, 1000},
            {100, 100, 1340, 800});
        // With no selection, a click in 3 points on a window selects it, the upper where two are.
        row("a click on a window", none, no, {260, 120}, {262, 122}, windows[1]);
        row("3 points on a window", none, no, {260, 120}, {263, 120}, none);
        row("a click on a window keeps a selection", square, no, {350, 180}, {350, 180}, square);
        row("n edge, clipped at the top", square, no, {125, 97}, {125, -40}, {100, 0, 50, 150});
        row("nw wins when narrow", {100, 100, 10, 50}, no, {105, 106}, {95, 96}, {90, 90, 20, 60});
        row("n wins when flat", {100, 100, 50, 10}, no, {125, 105}, {125, 95}, {100, 90, 50, 20});
        row("se grip with a tool chosen", square, pen, {150, 150}, {170, 190}, {100, 100, 70, 90});
        row("pen outside the selection does nothing", square, pen, {400, 400}, {500, 500}, square);
        row("mosaic past the corner hides the edge", square, Tool::mosaic, {120, 120}, {400, 400},
            square);
        const auto keys = [&](const char *name, QRectF initial, QKeyCombination k, QRectF sel) {
            row(name, initial, no, {}, {qreal(k.toCombined()), 0}, sel);
        };
        const auto shift = Qt::ShiftModifier, alt = Qt::AltModifier;
        keys("left", square, Qt::Key_Left, {99, 100, 50, 50});
        keys("shift down", square, shift | Qt::Key_Down, {100, 110, 50, 50});
        keys("alt up shrinks", square, alt | Qt::Key_Up, {100, 100, 50, 49});
        keys("alt left to 3 points", {9, 9, 8, 50}, alt | shift | Qt::Key_Left, {9, 9, 3, 50});
        keys("alt down, edge", {9, 850, 50, 45}, alt | shift | Qt::Key_Down, {9, 850, 50, 50});
    }
    void drags()
    {
        QFETCH(QRectF, initial);
        QFETCH(Tool, tool);
        QFETCH(QPointF, from);
        QFETCH(QPointF, to);
        QFETCH(QRectF, expected);
        Session s;
        OverlayView *v = s.select(0, initial, tool);
        const auto pressed = QKeyCombination::fromCombined(int(to.x()));
        if (from.isNull())
            key(v, pressed.key(), pressed.keyboardModifiers());
        else
            drag(v, from, to);
        QCOMPARE(v->sel(), expected);
        if (tool == Tool::mosaic)
            QCOMPARE(v->shapes().back()->opaqueArea().bottomRight(), expected.bottomRight());
    }

    // The magnifier beside the pointer, which stays on the display, across it from the edges
    // it would pass (the "magnifier" golden image shows it below and right, with the pointer's
    // pixel and its colour); the output of a selection it shows over holds the frozen pixels
    // alone.
    void magnifier_data()
    {
        QTest::addColumn<bool>("resizing");
        QTest::addColumn<QPointF>("pointer");
        QTest::addColumn<QString>("side");
        QTest::newRow("right edge") << false << QPointF(1439, 300) << QString("left below");
        QTest::newRow("bottom edge") << false << QPointF(300, 899) << QString("right above");
        QTest::newRow("resizing past the corner")
            << true << QPointF(1600, 1000) << QString("left above");
    }
    void magnifier()
    {
        QFETCH(bool, resizing);
        QFETCH(QPointF, pointer);
        QFETCH(QString, side);
        Session s;
        OverlayView *v = s.select(0, resizing ? QRectF(100, 100, 50, 50) : QRectF());
        if (resizing)
            mouse(v, Press, {149, 149});
        mouse(v, Move, pointer, resizing ? Qt::LeftButton : Qt::NoButton);
        const QRectF m = v->magnifierRect().value_or(QRectF());
        const QPointF p(std::min(pointer.x(), 1439.0), std::min(pointer.y(), 899.0));
        QCOMPARE(side.startsWith("left") ? m.right() + 16 : m.left() - 17, p.x());
        QCOMPARE(side.endsWith("above") ? m.bottom() + 16 : m.top() - 17, p.y());
        if (resizing)
            QCOMPARE(v->renderSelection()->convertToFormat(QImage::Format_RGB32),
                     v->screenImage().copy(v->sel().toRect()));
    }

    // At a fractional scale a copy holds, as they are, the pixels whose centres the selection
    // covers.
    void fractionalScaleCopiesWholePixels()
    {
        for (const auto &[scale, pixels] :
             {std::pair{1.25, QRect(126, 126, 254, 122)}, {1.5, QRect(152, 152, 304, 145)}}) {
            Session s(scale);
            OverlayView *v = s.select(0, QRectF(101, 101, 203, 97));
            QCOMPARE(v->renderSelection()->convertToFormat(QImage::Format_RGB32),
                     v->screenImage().copy(pixels));
            QCOMPARE(v->sizeText(), QString::asprintf("%dx%d", pixels.width(), pixels.height()));
        }
    }

    void bars_data()
    {
        QTest::addColumn<QRectF>("sel");
        QTest::addColumn<QPointF>("toolsAt");
        QTest::addColumn<QPointF>("toolbarAt");
        // The tool's tip right of its bar, or left where it would leave the screen; the button's
        // below its bar, or above.
        QTest::addColumn<QString>("tips");
        const auto row = [](const char *name, QRectF sel, QPointF tools, QPointF bar,
                            QString tips) { QTest::newRow(name) << sel << tools << bar << tips; };
        row("right edge", {1000, 500, 420, 200}, {1370, 280}, {1194, 708}, "right below");
        row("bottom edge", {200, 300, 400, 580}, {608, 460}, {432, 830}, "right above");
        row("left edge", {10, 300, 100, 300}, {118, 180}, {0, 608}, "right below");
        row("whole screen", {0, 0, 1440, 900}, {1390, 480}, {1214, 850}, "left above");
        // Beside or above a selection too small to hold them: they would cover it.
        row("narrow at the right edge", {1400, 500, 30, 30}, {1350, 110}, {1262, 538},
            "right below");
        row("flat at the bottom", {200, 880, 400, 15}, {608, 475}, {432, 830}, "right above");
        // Where the tools bar beside a selection stands across the buttons' row.
        row("narrow at the top right", {1410, 5, 25, 20}, {1360, 0}, {1184, 33}, "right below");
        row("narrow at the bottom right", {1410, 870, 25, 20}, {1360, 470}, {1184, 820},
            "right below");
    }
    void bars()
    {
        QFETCH(QRectF, sel);
        QFETCH(QPointF, toolsAt);
        QFETCH(QPointF, toolbarAt);
        QFETCH(QString, tips);
        const bool tipLeft = tips.startsWith("left"), tipAbove = tips.endsWith("above");
        Session s;
        s.session->show();
        OverlayView *v = s.select(0, sel);
        QVERIFY(QTest::qWaitForWindowExposed(v->window()));
        const QRectF tools(toolsAt, QSizeF(42, 420)), toolbar(toolbarAt, QSizeF(168, 42));
        QCOMPARE(v->toolsRect(), tools);
        QCOMPARE(v->toolbarRect(), toolbar);
        QCOMPARE(v->hitTool(tools.bottomRight() - QPointF(1, 1)), OverlayView::undoItem());
        QCOMPARE(v->hitTool(tools.bottomRight()), -1);
        QCOMPARE(v->hitButton(toolbar.topLeft() + QPointF(42, 0)), 1);

        // A tool's tip a quarter down its cell, a button's below the bar at its left end.
        mouse(v, Move, v->toolCell(0).center(), Qt::NoButton);
        QCOMPARE(v->currentTip()->text, QStringLiteral("펜"));
        QCOMPARE(tipLeft ? v->tipRect()->topRight() : v->tipRect()->topLeft(),
                 QPointF(tipLeft ? tools.left() - 4 : tools.right() + 4, tools.top() + 42 / 4.0));
        mouse(v, Move, QPointF(5, 5), Qt::NoButton);
        QVERIFY(!v->currentTip());
        mouse(v, Move, v->buttonCell(0).center(), Qt::NoButton);
        QCOMPARE(v->currentTip()->text, QStringLiteral("업로드 (Ctrl+D)"));
        QCOMPARE(tipAbove ? v->tipRect()->bottomLeft() : v->tipRect()->topLeft(),
                 QPointF(toolbar.left(), tipAbove ? toolbar.top() - 4 : toolbar.bottom() + 4));

        // An upload's start takes the hovered button's tip off the screen.
        const QPoint tip = v->tipRect()->center().toPoint();
        v->repaint(); // nothing pending
        auto *buffer = static_cast<QImage *>(v->backingStore()->paintDevice());
        buffer->fill(Qt::red);
        v->setUploadProgress(0.5);
        QTRY_VERIFY(buffer->pixel(tip) != qRgb(255, 0, 0));
        v->setUploadProgress(std::nullopt);
    }

    // One session through the bar's tools and undo, both displays and closing.
    void session()
    {
        Session s;
        s.session->show();
        OverlayView *a = s.select(0, QRectF(100, 100, 300, 300), Tool::rect), *b = s.view(1);
        chooseTool(a, Tool::rect);
        QCOMPARE(a->tool(), Tool::none); // a second press toggles it off
        for (const Tool tool : {Tool::marker, Tool::arrow}) {
            chooseTool(a, tool);
            drag(a, QPointF(150, 150), QPointF(250, 250));
        }
        // Redo puts back what undo took, in order, until a new shape is drawn.
        const auto drawn = a->shapes();
        key(a, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        key(a, 0x042F, Qt::ControlModifier, 52); // Cyrillic, at Z's place
        QVERIFY(a->shapes().empty());
        key(a, Qt::Key_Y, Qt::ControlModifier);
        key(a, Qt::Key_Y, Qt::ControlModifier);
        QVERIFY(a->shapes() == drawn);
        key(a, Qt::Key_Z, Qt::ControlModifier);
        drag(a, QPointF(160, 160), QPointF(260, 200));
        key(a, Qt::Key_Y, Qt::ControlModifier);
        QVERIFY(a->shapes().size() == 2 && a->shapes().back() != drawn.back());
        chooseTool(a, Tool::text);
        mouse(a, Press, QPointF(200, 300));
        a->textEntry()->insertPlainText("two\nlines");
        key(a, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(a->shapes().size(), size_t(2)); // no undo while typing
        // The bar's undo commits the label first, then takes it back.
        mouse(a, Press, a->toolCell(OverlayView::undoItem()).center());
        QVERIFY(!a->textEntry() && a->shapes().size() == 2);

        // Not while this display uploads (nor do keys there act, nor the desktop's close), nor
        // by a click (on a window there too), but a selection on the other display clears this
        // one with its shapes and its open label, and takes the keyboard; the tool stays.
        a->setUploadProgress(0.5);
        key(b, Qt::Key_Escape);
        b->window()->close();
        s.select(1, QRectF(10, 10, 100, 100));
        a->setUploadProgress(std::nullopt);
        b->setWindows(windows);
        click(b, QPointF(260, 120));
        QVERIFY(a->hasSelection() && a->shapes().size() == 2 && !b->hasSelection() && !s.closed);
        mouse(a, Press, QPointF(200, 300));
        QVERIFY(a->textEntry());
        s.select(1, QRectF(10, 10, 3, 3));
        QVERIFY(!a->hasSelection() && a->shapes().empty() && !a->textEntry());
        QCOMPARE(QWidget::keyboardGrabber(), b);
        click(a, QPointF(5, 5)); // selecting nothing, it leaves the keys with the selection
        QCOMPARE(QWidget::keyboardGrabber(), b);
        QCOMPARE(a->tool(), Tool::text);

        // Shown again, the keyboard goes to the display with the selection (b's, cleared after
        // the first round); with none, to the display under the pointer, the first one when the
        // pointer is past the desktop's right edge. A press takes it elsewhere.
        for (const auto &[pointer, keyView] :
             {std::pair{QPoint(10, 10), b}, {QPoint(1440, 10), b}, {QPoint(2720, 10), a}}) {
            s.session->hideAll();
            QVERIFY(!QWidget::keyboardGrabber());
            QCursor::setPos(pointer);
            s.session->show();
            QCOMPARE(QWidget::keyboardGrabber(), keyView);
            b->clearSelectionExternally();
        }
        mouse(b, Press, QPointF(5, 5));
        QCOMPARE(QWidget::keyboardGrabber(), b);
        // A right click in the middle of a resize clears the selection for good.
        s.select(1, QRectF(100, 100, 100, 100));
        mouse(b, Press, QPointF(200, 200));
        mouse(b, Move, QPointF(250, 250));
        mouse(b, Press, QPointF(250, 250), Qt::RightButton);
        mouse(b, Move, QPointF(300, 300));
        QVERIFY(!b->hasSelection());
        // A repaint of two parts of a shown view writes those parts of its window's buffer only.
        QVERIFY(QTest::qWaitForWindowExposed(a->window()));
        auto *buffer = static_cast<QImage *>(a->backingStore()->paintDevice());
        buffer->fill(Qt::red);
        a->repaint(QRegion(800, 200, 40, 40) + QRegion(1000, 600, 40, 40));
        QCOMPARE(buffer->pixel(900, 400), qRgb(255, 0, 0));
        QCOMPARE(buffer->pixel(810, 210), Drawing::dimmed(a->screenImage()).pixel(810, 210));

        // Escape closes whatever the modifiers, once: closing again tells the delegate nothing.
        QPointer<OverlayWindow> window = s.session->windows().at(1);
        key(b, Qt::Key_Escape, Qt::ShiftModifier);
        QCOMPARE(s.closed, 1);
        s.session->close();
        QCOMPARE(s.closed, 1);
        QVERIFY(s.session->windows().isEmpty() && window && !window->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!window); // released on the next turn
    }

    // The desktop's close of an overlay (Alt+F4, a compositor's binding) ends the capture.
    void desktopCloseEndsTheCapture()
    {
        Session s;
        s.session->show();
        s.view(1)->window()->close();
        QCOMPARE(s.closed, 1);
    }

    // The second press of a double click on the tray icon lands on the capture the first one
    // opened: there it is ignored, once.
    void trayDoubleClickPicksNothing()
    {
        Session s;
        const QPoint icon = s.view(0)->mapToGlobal(QPoint(260, 120)); // over a window
        s.session->ignorePressNear(icon + QPoint(3, 3), QDeadlineTimer(60000));
        for (const bool picked : {false, true}) {
            click(s.view(0), QPointF(260, 120));
            QCOMPARE(s.view(0)->hasSelection(), picked);
        }
    }

    // Typed where the keyboard goes: Return starts a line and Ctrl+Return commits the label,
    // neither of them copying, and Ctrl shortcuts go by the keys' places on a Cyrillic layout;
    // a label still being typed when the copy comes is copied with it.
    void textLabelsAreNeverLost()
    {
        const QRect sel(100, 100, 600, 400);
        Session s;
        OverlayView *v = s.select(0, sel, Tool::text);
        const QImage bare = v->screenImage().copy(sel);
        mouse(v, Press, QPointF(150, 150));
        type(QWidget::keyboardGrabber(), "Hello\nWorld");
        QVERIFY(v->textEntry()); // Return started a line
        QTest::keyClick(QWidget::keyboardGrabber(), Qt::Key_Return, Qt::ControlModifier);
        QVERIFY(!v->textEntry() && v->shapes().size() == 1 && !s.session->isClosed());
        mouse(v, Press, QPointF(150, 350));
        type(QWidget::keyboardGrabber(), "Open");
        key(QWidget::keyboardGrabber(), 0x0424, Qt::ControlModifier, 38); // Cyrillic, at A's place
        QCOMPARE(v->textEntry()->textCursor().selectedText(), "Open");
        QTest::keyClick(QWidget::keyboardGrabber(), Qt::Key_C, Qt::ControlModifier);
        QVERIFY(s.session->isClosed());
        const QImage copied =
            QImage::fromData(QGuiApplication::clipboard()->mimeData()->data("image/png"));
        QCOMPARE(copied.size(), sel.size());
        // The committed label in the upper half, the open one in the lower.
        for (const int top : {0, 200})
            QVERIFY(copied.copy(0, top, 600, 200) != bare.copy(0, top, 600, 200));
    }

    // Of a link on the server's host (its scheme in capitals), one on another host and one
    // not over http, only the first opens.
    void linksOpenOnlyOnTheServersHost()
    {
        const QStringList links{"HTTPS://127.0.0.1:9/i/a.png", "https://elsewhere.example/i/a.png",
                                "ftp://127.0.0.1/i/a.png"};
        for (const char *scheme : {"http", "https", "ftp"})
            QDesktopServices::setUrlHandler(scheme, this, "recordOpened");
        for (const QString &link : links)
            OutputActions::openInBrowser(link, "http://127.0.0.1:8787");
        for (const char *scheme : {"http", "https", "ftp"})
            QDesktopServices::unsetUrlHandler(scheme);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(links[0])});
    }
    void recordOpened(const QUrl &url) { m_opened << url; }

    // The output's PNG holds the same pixels as Qt's, across Qt's formats and over the size
    // split across threads; opaque images are stored without alpha.
    void pngMatchesQt_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<int>("colorType"); // 2 = RGB, 6 = RGBA
        const QSize small(37, 9);
        QTest::newRow("ARGB32 premultiplied, in two halves")
            << pattern({1100, 1000}, QImage::Format_ARGB32_Premultiplied) << 6;
        QTest::newRow("RGBA8888 premultiplied")
            << pattern(small, QImage::Format_RGBA8888_Premultiplied) << 6;
        QTest::newRow("ARGB32") << pattern(small, QImage::Format_ARGB32) << 6;
        QTest::newRow("ARGB32 premultiplied, opaque")
            << pattern(small).convertToFormat(QImage::Format_ARGB32_Premultiplied) << 2;
        QTest::newRow("RGB32, one pixel") << pattern({1, 1}) << 2;
        QTest::newRow("RGB888") << pattern(small, QImage::Format_RGB888) << 2;
    }
    void pngMatchesQt()
    {
        QFETCH(QImage, image);
        QFETCH(int, colorType);
        const QByteArray png = ImageEncoding::encodePng(image);
        // Qt's decoder checks the chunks and the zlib checksums; Qt's writer stores the image
        // as this conversion gives it.
        QCOMPARE(QImage::fromData(png, "png").convertToFormat(QImage::Format_ARGB32),
                 image.convertToFormat(QImage::Format_ARGB32));
        QCOMPARE(int(png[25]), colorType);
        // The clipboard's copy serves the same PNG and keeps no picture once it is made.
        QImage own = image.copy();
        const std::unique_ptr<QMimeData> copy(OutputActions::clipboardData(own));
        QCOMPARE(copy->data("image/png"), png);
        QVERIFY(own.isDetached());
    }

    // A file is written whole, in either encoding, or not at all: a disk that fills (here a
    // limit on the size of files) while the bytes wait in the write buffer leaves neither a
    // cut file nor a temporary one.
    void filesAreWrittenWholeOrNotAtAll()
    {
        const QImage image = pattern({300, 200});
        rlimit was{};
        getrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, SIG_IGN);
        const auto restore = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &was); });
        for (const rlim_t limit : {rlim_t(0), rlim_t(1024), RLIM_INFINITY}) {
            QTemporaryDir dir;
            rlimit now = was;
            now.rlim_cur = std::min(limit, was.rlim_max);
            setrlimit(RLIMIT_FSIZE, &now);
            QList<bool> written;
            for (const QString name : {"a.png", "a.jpg"})
                written << OutputActions::writeImage(image, dir.filePath(name));
            setrlimit(RLIMIT_FSIZE, &was);
            const bool whole = limit == RLIM_INFINITY;
            QCOMPARE(written, QList<bool>(2, whole));
            QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), whole ? 2 : 0);
        }
    }

    void goldenImages_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("scale");
        for (const char *state : {"bars", "top", "drawing", "error", "upload", "text", "thin",
                                  "menus", "magnifier", "window"}) {
            for (int scale : {1, 2})
                QTest::addRow("%s@%dx", state, scale) << QString(state) << scale;
        }
    }
    void goldenImages()
    {
        QFETCH(QString, state);
        QFETCH(int, scale);
        Session s(scale);
        const bool menus = state == "menus";
        const QRectF sel(200, state == "top" ? 2 : 120, 300, 200);
        OverlayView *v = s.select(0, state == "window" ? QRectF() : sel);
        if (state == "bars") {
            chooseTool(v, Tool::arrow);
            mouse(v, Move, v->toolCell(5).center(), Qt::NoButton);
        } else if (state == "drawing") {
            chooseTool(v, Tool::rect);
            mouse(v, Press, QPointF(230, 150));
            mouse(v, Move, QPointF(320, 400));
        } else if (state == "error") {
            v->showError(QStringLiteral("저장하지 못했습니다: /proc/corvane.png"));
        } else if (state == "upload") {
            v->setUploadProgress(0.004); // a 6-point sliver, "0%"
            mouse(v, Move, v->toolCell(0).center(), Qt::NoButton);
            key(v, Qt::Key_Escape); // ignored, as are hovers and presses
            mouse(v, Press, QPointF(5, 5), Qt::RightButton);
            QVERIFY(!s.session->isClosed() && v->hoverTool() < 0);
        } else if (state == "text") {
            // A label committed by the next press, where the entry showed it, and an entry
            // at its least width grown by an empty last line.
            chooseTool(v, Tool::text);
            mouse(v, Press, QPointF(230, 150));
            v->textEntry()->insertPlainText("Hello\nworld");
            mouse(v, Press, QPointF(230, 230));
            v->textEntry()->insertPlainText("Wy\n");
        } else if (state == "magnifier") {
            mouse(v, Press, sel.topLeft()); // the nw grip, to beside a square's corner
            mouse(v, Move, QPointF(294, 182));
        } else if (state == "window") {
            mouse(v, Move, QPointF(350, 180), Qt::NoButton); // the upper of two windows
        } else if (state == "thin") {
            drag(v, QPointF(500, 200), QPointF(201, 200)); // the e grip, to one point wide
        }
        const QRectF crop(180, 0, menus ? 260 : 440, menus ? 220 : 380);
        QImage image = canvas(crop.size().toSize(), scale);
        QPainter painter(&image);
        if (menus) {
            // Each menu opened again after a pick, which it shows checked.
            int x = 0;
            for (const auto &[item, picked] :
                 {std::pair{OverlayView::colorItem(), 4}, {OverlayView::widthItem(), 2}}) {
                mouse(v, Press, v->toolCell(item).center());
                v->openMenu()->actions().at(picked)->trigger();
                v->openMenu()->close();
                mouse(v, Press, v->toolCell(item).center());
                v->openMenu()->render(&painter, QPoint(x, 0));
                x += v->openMenu()->width();
                v->openMenu()->close();
            }
        } else {
            painter.translate(-crop.topLeft());
            v->drawContents(painter, crop);
            if (TextEntryView *entry = v->textEntry())
                entry->render(&painter, entry->pos(), {}, QWidget::DrawChildren);
        }
        painter.end();
        const QString golden = CORVANE_TEST_DATA_DIR "/golden/" + QString(QTest::currentDataTag());
        QVERIFY(testkit::matchesGolden(image, golden + ".png"));
    }

    void randomInput()
    {
        QRandomGenerator random(20261206);
        const auto pick = [&](int n) { return int(random.bounded(n)); };
        // Presses reach the toolbar too: saves go straight to a folder that cannot be written,
        // never to a dialog or a file browser.
        Session s;
        s.settings.setSaveWithoutDialog(true);
        s.settings.setSaveFolder(QStringLiteral("/proc"));
        // While the button is down the pressed view keeps the pointer, as a window does.
        QPointer<OverlayView> down;
        for (int step = 0; step < 100000; ++step) {
            if (s.session->isClosed()) {
                s.open();
                down = nullptr;
            }
            OverlayView *v = down ? down.data() : s.view(pick(2));
            // Presses land on the view; drags and hovers also leave it, as a pointer does.
            const QPointF inside(pick(v->width()), pick(v->height()));
            const QPointF p(pick(v->width() + 200) - 100, pick(v->height() + 200) - 100);
            const int action = pick(12);
            if (down) {
                mouse(v, action < 9 ? Move : QEvent::MouseButtonRelease, p);
                if (action >= 9)
                    down = nullptr;
            } else if (action < 3) {
                mouse(v, Press, inside);
                down = v;
            } else if (action < 6) {
                mouse(v, Move, p, Qt::NoButton);
            } else if (action == 6) {
                if (pick(10) == 0)
                    mouse(v, Press, inside, Qt::RightButton);
            } else if (action == 7) {
                key(v, pick(30) == 0 ? Qt::Key_Escape : Qt::Key_Z, Qt::ControlModifier);
            } else if (action < 10) {
                if (v->hasSelection())
                    click(v, v->toolCell(pick(OverlayView::toolItemCount())).center());
            } else if (QMenu *menu = v->openMenu()) {
                menu->actions().at(pick(int(menu->actions().size())))->trigger();
                menu->close();
            }
            // Every selection in whole points inside its view, and on one display at most.
            int withSelection = 0;
            for (OverlayWindow *w : s.session->windows()) {
                const QRectF sel = w->overlayView()->sel(), bounds(w->overlayView()->rect());
                withSelection += w->overlayView()->hasSelection();
                if (QRectF(sel.toRect()) != sel || bounds.united(sel) != bounds)
                    QFAIL(qPrintable(QString::number(step) + ": " + QDebug::toString(sel)));
            }
            QVERIFY2(withSelection <= 1, qPrintable(QString::number(step)));
            if (step % 1000 == 0)
                QCoreApplication::processEvents();
        }
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" CORVANE_TEST_DATA_DIR "/screens.json");
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi);
    QApplication app(argc, argv);
    QFont font("Noto Sans CJK KR");
    font.setPixelSize(13);
    QApplication::setFont(font);
    TestOverlayView test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_OverlayView.moc"
