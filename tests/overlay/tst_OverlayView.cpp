#include <QApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "annotate/TextEntryView.h"
#include "overlay/OutputActions.h"
#include "overlay/OverlayView.h"
#include "overlay/OverlayWindow.h"
#include "settings/AppSettings.h"
#include "testkit/Golden.h"

using Grip = OverlayView::Grip;
using Mode = OverlayView::Mode;

Q_DECLARE_METATYPE(Tool)
Q_DECLARE_METATYPE(OverlayView::Grip)

// Overlay sessions in process on two offscreen screens side by side, 1440x900 and 1280x800,
// fed with drawn pictures (the offscreen grab is no real screen).
namespace {

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
    }
    OverlayView *view(int i) const { return session->windows().at(i)->overlayView(); }
};

void mouse(QWidget *w, QEvent::Type type, QPointF p, Qt::MouseButton button, Qt::MouseButtons held)
{
    QMouseEvent event(type, p, w->mapToGlobal(p), button, held, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}
void press(QWidget *w, QPointF p, Qt::MouseButton b = Qt::LeftButton)
{
    mouse(w, QEvent::MouseButtonPress, p, b, b);
}
void moveTo(QWidget *w, QPointF p, bool held)
{
    mouse(w, QEvent::MouseMove, p, Qt::NoButton, held ? Qt::LeftButton : Qt::NoButton);
}
void release(QWidget *w, QPointF p)
{
    mouse(w, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
}
void drag(QWidget *w, QPointF from, QPointF to)
{
    press(w, from);
    moveTo(w, (from + to) / 2, true);
    moveTo(w, to, true);
    release(w, to);
}
void key(QWidget *w, int k, Qt::KeyboardModifiers mods = Qt::NoModifier)
{
    QKeyEvent event(QEvent::KeyPress, k, mods);
    QApplication::sendEvent(w, &event);
}

// Makes `sel` by a drag with no tool; an empty rectangle leaves the view without one.
void select(OverlayView *v, const QRectF &sel)
{
    if (!sel.isEmpty())
        drag(v, sel.topLeft(), sel.bottomRight());
}

void chooseTool(OverlayView *v, Tool tool)
{
    for (int i = 0; i < int(OverlayView::drawTools().size()); ++i) {
        if (OverlayView::drawTools()[size_t(i)].tool == tool) {
            press(v, v->toolCell(i).center());
            release(v, v->toolCell(i).center());
        }
    }
}

} // namespace

class TestOverlayView : public QObject
{
    Q_OBJECT

    QList<QUrl> m_opened;

private slots:
    void drags_data()
    {
        QTest::addColumn<QRectF>("initial");
        QTest::addColumn<Tool>("tool");
        QTest::addColumn<QPointF>("from");
        QTest::addColumn<QPointF>("to");
        QTest::addColumn<QRectF>("expected");

        const QRectF none;
        QTest::newRow("select up and left")
            << none << Tool::none << QPointF(100, 100) << QPointF(40, 30) << QRectF(40, 30, 60, 70);
        QTest::newRow("a click selects nothing")
            << none << Tool::none << QPointF(100, 100) << QPointF(102, 102) << none;
        QTest::newRow("clipped to the view") << none << Tool::none << QPointF(1400, 850)
                                             << QPointF(1700, 1000) << QRectF(1400, 850, 40, 50);
        QTest::newRow("moved to the right edge")
            << QRectF(100, 100, 200, 100) << Tool::none << QPointF(150, 150) << QPointF(2000, 150)
            << QRectF(1240, 100, 200, 100);
        QTest::newRow("moved past the left and top edges")
            << QRectF(100, 100, 200, 100) << Tool::none << QPointF(150, 150) << QPointF(-300, -300)
            << QRectF(0, 0, 200, 100);
        QTest::newRow("w grip dragged past e swaps")
            << QRectF(100, 100, 50, 50) << Tool::none << QPointF(100, 120) << QPointF(180, 120)
            << QRectF(150, 100, 30, 50);
        QTest::newRow("se grip with a tool chosen")
            << QRectF(100, 100, 50, 50) << Tool::pen << QPointF(150, 150) << QPointF(170, 190)
            << QRectF(100, 100, 70, 90);
        QTest::newRow("n grip past the top is clipped")
            << QRectF(100, 100, 50, 50) << Tool::none << QPointF(120, 100) << QPointF(120, -40)
            << QRectF(100, 0, 50, 150);
        QTest::newRow("pen outside the selection does nothing")
            << QRectF(100, 100, 50, 50) << Tool::pen << QPointF(400, 400) << QPointF(500, 500)
            << QRectF(100, 100, 50, 50);
        QTest::newRow("pen inside draws and keeps the selection")
            << QRectF(100, 100, 50, 50) << Tool::pen << QPointF(120, 120) << QPointF(400, 400)
            << QRectF(100, 100, 50, 50);
    }
    void drags()
    {
        QFETCH(QRectF, initial);
        QFETCH(Tool, tool);
        QFETCH(QPointF, from);
        QFETCH(QPointF, to);
        QFETCH(QRectF, expected);
        Session s;
        OverlayView *v = s.view(0);
        select(v, initial);
        chooseTool(v, tool);
        QCOMPARE(v->tool(), tool);
        drag(v, from, to);
        QCOMPARE(v->sel(), expected);
        QCOMPARE(v->mode(), Mode::idle);
        QCOMPARE(v->tool(), tool);
    }

    void grips_data()
    {
        QTest::addColumn<QRectF>("sel");
        QTest::addColumn<QPointF>("point");
        QTest::addColumn<Grip>("grip");
        const QRectF square(100, 100, 50, 50);
        QTest::newRow("6 outside the left edge") << square << QPointF(94, 120) << Grip::none;
        QTest::newRow("5 outside the left edge") << square << QPointF(95, 120) << Grip::w;
        QTest::newRow("6 inside the left edge") << square << QPointF(106, 120) << Grip::w;
        QTest::newRow("7 inside is the body") << square << QPointF(107, 120) << Grip::move;
        QTest::newRow("bottom right corner") << square << QPointF(152, 153) << Grip::se;
        QTest::newRow("top edge") << square << QPointF(125, 97) << Grip::n;
        QTest::newRow("nw wins on a narrow selection")
            << QRectF(100, 100, 10, 50) << QPointF(105, 106) << Grip::nw;
        QTest::newRow("n wins on a flat selection")
            << QRectF(100, 100, 50, 10) << QPointF(125, 105) << Grip::n;
        QTest::newRow("no selection") << QRectF() << QPointF(0, 0) << Grip::none;
    }
    void grips()
    {
        QFETCH(QRectF, sel);
        QFETCH(QPointF, point);
        QFETCH(Grip, grip);
        Session s;
        select(s.view(0), sel);
        QCOMPARE(s.view(0)->hitGrip(point), grip);
    }

    void bars_data()
    {
        QTest::addColumn<QRectF>("sel");
        QTest::addColumn<QRectF>("tools");
        QTest::addColumn<QRectF>("toolbar");
        // Where the tips go when they would leave the screen: left of the tools bar and
        // above the toolbar.
        QTest::addColumn<bool>("tipLeft");
        QTest::addColumn<bool>("tipAbove");
        const auto row = [](const char *name, QRectF sel, QRectF tools, QRectF toolbar, bool left,
                            bool above) {
            QTest::newRow(name) << sel << tools << toolbar << left << above;
        };
        row("free space", {200, 500, 400, 200}, {608, 280, 42, 420}, {432, 708, 168, 42}, false,
            false);
        row("right edge", {1000, 500, 420, 200}, {1370, 280, 42, 420}, {1194, 708, 168, 42}, false,
            false);
        row("bottom edge", {200, 300, 400, 580}, {608, 460, 42, 420}, {432, 830, 168, 42}, false,
            true);
        row("near the top", {200, 50, 100, 100}, {308, 0, 42, 420}, {132, 158, 168, 42}, false,
            false);
        row("left edge", {10, 300, 100, 300}, {118, 180, 42, 420}, {0, 608, 168, 42}, false, false);
        row("whole screen", {0, 0, 1440, 900}, {1390, 480, 42, 420}, {1214, 850, 168, 42}, true,
            true);
    }
    void bars()
    {
        QFETCH(QRectF, sel);
        QFETCH(QRectF, tools);
        QFETCH(QRectF, toolbar);
        QFETCH(bool, tipLeft);
        QFETCH(bool, tipAbove);
        Session s;
        OverlayView *v = s.view(0);
        select(v, sel);
        QCOMPARE(v->toolsRect(), tools);
        QCOMPARE(v->toolbarRect(), toolbar);
        QCOMPARE(v->hitTool(tools.bottomRight() - QPointF(1, 1)), OverlayView::undoItem());
        QCOMPARE(v->hitTool(tools.bottomRight()), -1);
        QCOMPARE(v->hitButton(toolbar.topLeft() + QPointF(42, 0)), 1);

        moveTo(v, v->toolCell(0).center(), false);
        QCOMPARE(v->currentTip()->text, QStringLiteral("펜"));
        QRectF tip = *v->tipRect();
        QCOMPARE(tip.top(), tools.top() + 42 / 4.0);
        QCOMPARE(tipLeft ? tip.right() : tip.left(),
                 tipLeft ? tools.left() - 4 : tools.right() + 4);
        QVERIFY(v->chromeBounds()->contains(tip.united(tools).united(toolbar)));
        moveTo(v, v->buttonCell(0).center(), false);
        QCOMPARE(v->currentTip()->text, QStringLiteral("업로드 (⌘D)"));
        tip = *v->tipRect();
        QCOMPARE(tip.left(), toolbar.left());
        QCOMPARE(tipAbove ? tip.bottom() : tip.top(),
                 tipAbove ? toolbar.top() - 4 : toolbar.bottom() + 4);
        moveTo(v, QPointF(5, 5), false);
        QVERIFY(!v->currentTip());
        // While the selection is dragged the bars are not there to hit.
        press(v, sel.center());
        moveTo(v, sel.center() + QPointF(1, 1), true);
        QCOMPARE(v->hitTool(tools.topLeft()), -1);
        release(v, sel.center());
    }

    void toolsColoursWidthsAndUndo()
    {
        Session s;
        OverlayView *v = s.view(0);
        select(v, QRectF(100, 100, 300, 300));
        chooseTool(v, Tool::rect);
        chooseTool(v, Tool::rect);
        QCOMPARE(v->tool(), Tool::none); // a second press toggles it off
        drag(v, QPointF(200, 200), QPointF(220, 230));
        QCOMPARE(v->sel(), QRectF(120, 130, 300, 300)); // and a drag inside moves again

        press(v, v->toolCell(OverlayView::colorItem()).center());
        QMenu *menu = v->openMenu();
        QVERIFY(menu);
        QCOMPARE(menu->actions().size(), 8);
        QVERIFY(menu->actions().at(0)->isChecked());
        menu->actions().at(4)->trigger();
        QCOMPARE(v->color(), OverlayView::palette()[4].color);
        menu->close();
        press(v, v->toolCell(OverlayView::widthItem()).center());
        QCOMPARE(v->openMenu()->actions().size(), 3);
        QVERIFY(v->openMenu()->actions().at(1)->isChecked());
        v->openMenu()->actions().at(2)->trigger();
        QCOMPARE(v->widthLevel(), 2);
        v->openMenu()->close();

        chooseTool(v, Tool::marker);
        drag(v, QPointF(150, 150), QPointF(250, 250));
        chooseTool(v, Tool::arrow);
        drag(v, QPointF(150, 150), QPointF(250, 250));
        QCOMPARE(v->shapes().size(), size_t(2));
        key(v, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(v->shapes().size(), size_t(1));
        press(v, v->toolCell(OverlayView::undoItem()).center());
        QVERIFY(v->shapes().empty());
    }

    void textToolSessionAndKeyboard()
    {
        Session s;
        OverlayView *a = s.view(0), *b = s.view(1);
        select(a, QRectF(100, 100, 300, 300));
        chooseTool(a, Tool::pen);
        drag(a, QPointF(150, 150), QPointF(200, 200));
        chooseTool(a, Tool::text);
        press(a, QPointF(200, 300));
        a->textEntry()->insertPlainText("two\nlines");
        key(a, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(a->shapes().size(), size_t(1)); // no undo while typing
        press(a, QPointF(5, 5));                 // a click elsewhere commits
        QVERIFY(!a->textEntry());
        QCOMPARE(a->shapes().size(), size_t(2));
        // A selection on the other display clears this one; the tool stays, and the text tool
        // outside any selection starts none.
        select(b, QRectF(10, 10, 100, 100));
        QVERIFY(!a->hasSelection() && a->shapes().empty());
        drag(a, QPointF(50, 50), QPointF(300, 300));
        QVERIFY(!a->hasSelection() && b->hasSelection());
        QCOMPARE(a->tool(), Tool::text);

        // The keyboard goes to the display under the pointer, the first one when the pointer
        // is past the desktop's right edge; a press takes it elsewhere.
        for (const auto &[pointer, keyView] :
             {std::pair{QPoint(1440, 10), b}, {QPoint(2720, 10), a}}) {
            QCursor::setPos(pointer);
            s.session->show();
            QCOMPARE(QWidget::keyboardGrabber(), keyView);
            s.session->hideAll();
            QVERIFY(!QWidget::keyboardGrabber());
        }
        s.session->show();
        press(b, QPointF(5, 5));
        QCOMPARE(QWidget::keyboardGrabber(), b);

        QPointer<OverlayWindow> window = s.session->windows().at(1);
        key(b, Qt::Key_Escape, Qt::ShiftModifier);
        s.session->close();
        QCOMPARE(s.closed, 1);
        QVERIFY(s.session->windows().isEmpty() && window && !window->isVisible());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!window); // released on the next turn
    }

    void linksOpenOnlyOnTheServersHost_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("opened");
        QTest::newRow("the server's host") << "HTTPS://127.0.0.1:9/i/a.png" << true;
        QTest::newRow("another host") << "https://elsewhere.example/i/a.png" << false;
        QTest::newRow("not http") << "ftp://127.0.0.1/i/a.png" << false;
        QTest::newRow("not a link") << "업로드 실패" << false;
    }
    void linksOpenOnlyOnTheServersHost()
    {
        QFETCH(QString, link);
        QFETCH(bool, opened);
        for (const char *scheme : {"http", "https", "ftp"})
            QDesktopServices::setUrlHandler(scheme, this, "recordOpened");
        m_opened.clear();
        OutputActions::openInBrowser(link, "http://127.0.0.1:8787");
        QCOMPARE(m_opened, opened ? QList<QUrl>{QUrl(link)} : QList<QUrl>{});
    }
    void recordOpened(const QUrl &url) { m_opened << url; }

    void goldenImages_data()
    {
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("scale");
        for (const char *state :
             {"empty", "bars", "top", "drawing", "error", "upload", "swatches"}) {
            for (int scale : {1, 2})
                QTest::addRow("%s@%dx", state, scale) << QString(state) << scale;
        }
    }
    void goldenImages()
    {
        QFETCH(QString, state);
        QFETCH(int, scale);
        Session s(scale);
        OverlayView *v = s.view(0);
        const QRectF crop(180, 0, state == "swatches" ? 160 : 440, state == "swatches" ? 44 : 380);
        QImage image((crop.size() * scale).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        if (state == "swatches") {
            for (int i = 0; i < int(OverlayView::palette().size()); ++i)
                painter.drawImage(
                    QPointF(i * 20, 0),
                    OverlayView::swatchImage(OverlayView::palette()[size_t(i)].color, scale));
            for (int level = 0; level < 3; ++level)
                painter.drawImage(QPointF(level * 32, 24),
                                  OverlayView::widthImage(OverlayView::lineWidths[level], scale));
        } else {
            select(v,
                   state == "empty" ? QRectF() : QRectF(200, state == "top" ? 2 : 120, 300, 200));
            if (state == "bars") {
                chooseTool(v, Tool::arrow);
                moveTo(v, v->toolCell(5).center(), false);
            } else if (state == "drawing") {
                chooseTool(v, Tool::rect);
                press(v, QPointF(230, 150));
                moveTo(v, QPointF(320, 400), true);
            } else if (state == "error") {
                v->showError(QStringLiteral("저장하지 못했습니다: /proc/corvane.png"));
            } else if (state == "upload") {
                v->setUploadProgress(0.004); // a 6-point sliver, "0%"
                moveTo(v, v->toolCell(0).center(), false);
                key(v, Qt::Key_Escape); // ignored, as are hovers and presses
                press(v, QPointF(5, 5), Qt::RightButton);
                QVERIFY(!s.session->isClosed() && v->hoverTool() < 0);
            }
            painter.translate(-crop.topLeft());
            v->drawContents(painter, crop);
        }
        painter.end();
        QString message;
        QVERIFY2(
            testkit::matchesGolden(
                image,
                QStringLiteral(CORVANE_TEST_DATA_DIR "/golden/%1@%2x.png").arg(state).arg(scale),
                &message),
            qPrintable(message));
    }

    void randomInput()
    {
        const quint32 seed = 20261206;
        qInfo("random input seed %u", seed);
        QRandomGenerator random(seed);
        // Presses reach the toolbar too: saves go straight to a folder that cannot be written,
        // never to a dialog or a file browser.
        auto s = std::make_unique<Session>();
        s->settings.setSaveWithoutDialog(true);
        s->settings.setSaveFolder(QStringLiteral("/proc"));
        const auto pick = [&](int n) { return int(random.bounded(n)); };
        // While the button is down the pressed view keeps the pointer, as a window does.
        QPointer<OverlayView> down;
        for (int step = 0; step < 100000; ++step) {
            if (s->session->isClosed()) {
                s->open();
                down = nullptr;
            }
            OverlayView *v = down ? down.data() : s->view(pick(2));
            // Presses land on the view; drags and hovers also leave it, as a pointer does.
            const QPointF inside(pick(v->width()), pick(v->height()));
            const QPointF p(pick(v->width() + 200) - 100, pick(v->height() + 200) - 100);
            const int action = pick(12);
            if (down) {
                if (action < 9) {
                    moveTo(v, p, true);
                } else {
                    release(v, p);
                    down = nullptr;
                }
            } else if (action < 3) {
                press(v, inside);
                down = v;
            } else if (action < 6) {
                moveTo(v, p, false);
            } else if (action == 6) {
                if (pick(10) == 0)
                    press(v, inside, Qt::RightButton);
            } else if (action == 7) {
                key(v, pick(30) == 0 ? Qt::Key_Escape : Qt::Key_Z, Qt::ControlModifier);
            } else if (action < 10) {
                if (v->hasSelection()) {
                    const QPointF cell = v->toolCell(pick(OverlayView::toolItemCount())).center();
                    press(v, cell);
                    release(v, cell);
                }
            } else if (QMenu *menu = v->openMenu()) {
                menu->actions().at(pick(int(menu->actions().size())))->trigger();
                menu->close();
            }
            int withSelection = 0;
            for (OverlayWindow *w : s->session->windows()) {
                const QRectF sel = w->overlayView()->sel();
                withSelection += w->overlayView()->hasSelection();
                const bool whole = sel.x() == std::floor(sel.x()) &&
                                   sel.y() == std::floor(sel.y()) &&
                                   sel.width() == std::floor(sel.width()) &&
                                   sel.height() == std::floor(sel.height());
                const QRectF bounds(w->overlayView()->rect());
                if (!whole || sel.left() < 0 || sel.top() < 0 || sel.right() > bounds.right() ||
                    sel.bottom() > bounds.bottom() || sel.width() < 0 || sel.height() < 0)
                    QFAIL(qPrintable(QStringLiteral("step %1: selection %2,%3 %4x%5")
                                         .arg(step)
                                         .arg(sel.x())
                                         .arg(sel.y())
                                         .arg(sel.width())
                                         .arg(sel.height())));
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
