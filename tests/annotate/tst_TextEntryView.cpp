#include <cmath>
#include <memory>

#include <QPainter>
#include <QShortcut>
#include <QtTest>

#include "annotate/Drawing.h"
#include "annotate/TextAnnotation.h"
#include "annotate/TextEntryView.h"
#include "Canvas.h"

class TestTextEntryView : public QObject
{
    Q_OBJECT

    QFont m_font{QStringLiteral("DejaVu Sans")};
    std::unique_ptr<QWidget> m_overlay;
    TextEntryView *m_entry = nullptr;
    QString m_committed; // null until committed
    int m_ends = 0;
    int m_shortcuts = 0;

    void type(const QString &text)
    {
        for (const QString &line : text.split(u'\n'))
            QTest::keyClicks(m_entry, line), QTest::keyClick(m_entry, Qt::Key_Return);
        QTest::keyClick(m_entry, Qt::Key_Backspace); // the last Return
    }

    int widthFor(const QString &line) const
    {
        return int(std::ceil(QFontMetricsF(m_font).horizontalAdvance(line))) + 10;
    }

private slots:
    void init()
    {
        m_font.setPixelSize(18);
        m_committed = QString(), m_ends = m_shortcuts = 0;
        // Stands in for the overlay, with window-wide shortcuts on the editor's keys.
        m_overlay = std::make_unique<QWidget>();
        for (const auto keys : {QKeyCombination(Qt::Key_Escape), Qt::CTRL | Qt::Key_Return})
            connect(new QShortcut(keys, m_overlay.get()), &QShortcut::activated, this,
                    [this] { ++m_shortcuts; });
        m_entry = new TextEntryView(QPointF(40.7, 30.2), Qt::red, m_font, m_overlay.get());
        m_entry->onCommit = [this](const QString &text, QPointF) { m_committed = text, ++m_ends; };
        m_entry->onCancel = [this] { ++m_ends; };
        m_overlay->show();
        m_overlay->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_overlay.get()));
        m_entry->setFocus();
    }

    void ending_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QKeySequence>("key"); // none: the owner calls commit()
        QTest::addColumn<QString>("label");    // null: cancelled
        const QKeySequence commit(Qt::CTRL | Qt::Key_Return);
        QTest::newRow("two lines") << "first\nsecond" << commit << "first\nsecond";
        QTest::newRow("keypad Enter")
            << "a" << QKeySequence(Qt::ControlModifier | Qt::KeypadModifier | Qt::Key_Enter) << "a";
        QTest::newRow("from outside, leading space") << " hi" << QKeySequence() << " hi";
        QTest::newRow("blank") << "  \n " << commit << QString();
        QTest::newRow("empty, from outside") << "" << QKeySequence() << QString();
        QTest::newRow("Escape") << "abc" << QKeySequence(Qt::Key_Escape) << QString();
    }

    void ending()
    {
        QFETCH(QString, typed);
        QFETCH(QKeySequence, key);
        QFETCH(QString, label);
        type(typed);
        key.isEmpty() ? m_entry->commit() : QTest::keySequence(m_entry, key);
        QCOMPARE(m_committed, label);
        QCOMPARE(m_shortcuts, 0);
        m_entry->commit();
        m_entry->cancel();
        QCOMPARE(m_ends, 1);
    }

    void inputMethod()
    {
        const QString composing = QStringLiteral("가나다라마바사아자차카타파하");
        QInputMethodEvent preedit(composing, {});
        QCoreApplication::sendEvent(m_entry, &preedit);
        QCOMPARE(m_entry->width(), widthFor(composing));
        QInputMethodEvent done;
        done.setCommitString(QStringLiteral("한글"));
        QCoreApplication::sendEvent(m_entry, &done);
        QCOMPARE(m_entry->toPlainText(), QStringLiteral("한글"));
    }

    void growsAndDrawsLikeTheLabel()
    {
        const int line = int(Drawing::lineHeight(m_font));
        QCOMPARE(m_entry->size(), QSize(120, line + 6));
        type(QStringLiteral("Hello, a longer line\nWy\n"));
        QCOMPARE(m_entry->geometry(),
                 QRect(40, 30, widthFor(QStringLiteral("Hello, a longer line")), 3 * line + 6));

        m_entry->clearFocus(); // no caret in the picture
        const QImage shot = m_entry->grab().toImage();
        QImage label = canvas::white(m_entry->size());
        QPainter painter(&label);
        TextAnnotation(m_entry->textOrigin() - m_entry->pos(), m_entry->toPlainText(), Qt::red,
                       m_font)
            .draw(painter);
        const QRect inside = label.rect().adjusted(1, 1, -1, -1); // within the border
        QCOMPARE(shot.copy(inside).convertToFormat(label.format()), label.copy(inside));
        QCOMPARE(shot.pixel(0, 0), qRgb(128, 128, 128));
    }
};

QTEST_MAIN(TestTextEntryView)
#include "tst_TextEntryView.moc"
