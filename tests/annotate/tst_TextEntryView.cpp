#include <cmath>
#include <memory>
#include <optional>

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
    std::optional<QString> m_committed;
    QPointF m_committedAt;
    int m_commits = 0;
    int m_cancels = 0;
    int m_shortcuts = 0;

    void type(const QString &text)
    {
        const QStringList lines = text.split(u'\n');
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (i > 0)
                QTest::keyClick(m_entry, Qt::Key_Return);
            QTest::keyClicks(m_entry, lines[i]);
        }
    }

    int width(const QString &line) const
    {
        return int(std::ceil(QFontMetricsF(m_font).horizontalAdvance(line))) + 10;
    }

private slots:
    void init()
    {
        m_font.setPixelSize(18);
        // Stands in for the overlay, with window-wide shortcuts on the editor's keys.
        m_overlay = std::make_unique<QWidget>();
        m_overlay->resize(600, 400);
        for (const QKeySequence &keys :
             {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_Return)})
            connect(new QShortcut(keys, m_overlay.get()), &QShortcut::activated, this,
                    [this] { ++m_shortcuts; });
        m_entry = new TextEntryView(QPointF(40.7, 30.2), Qt::red, m_font, m_overlay.get());
        m_entry->onCommit = [this](const QString &text, QPointF at) {
            m_committed = text, m_committedAt = at, ++m_commits;
        };
        m_entry->onCancel = [this] { ++m_cancels; };
        m_committed.reset();
        m_committedAt = {};
        m_commits = m_cancels = m_shortcuts = 0;
        m_overlay->show();
        m_overlay->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_overlay.get()));
        m_entry->setFocus();
    }

    void cleanup() { m_overlay.reset(); }

    void ending_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("key"); // 0: the owner calls commit()
        QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
        QTest::addColumn<QString>("label"); // null: cancelled
        const auto ctrl = Qt::KeyboardModifiers(Qt::ControlModifier);
        QTest::newRow("two lines")
            << "first\nsecond" << int(Qt::Key_Return) << ctrl << "first\nsecond";
        QTest::newRow("keypad Enter")
            << "a" << int(Qt::Key_Enter) << (ctrl | Qt::KeypadModifier) << "a";
        QTest::newRow("from outside, leading space") << " hi" << 0 << ctrl << " hi";
        QTest::newRow("blank") << "  \n " << int(Qt::Key_Return) << ctrl << QString();
        QTest::newRow("empty, from outside") << "" << 0 << ctrl << QString();
        QTest::newRow("Escape") << "abc" << int(Qt::Key_Escape) << Qt::KeyboardModifiers()
                                << QString();
    }

    void ending()
    {
        QFETCH(QString, typed);
        QFETCH(int, key);
        QFETCH(Qt::KeyboardModifiers, modifiers);
        QFETCH(QString, label);
        type(typed);
        key ? QTest::keyClick(m_entry, Qt::Key(key), modifiers) : m_entry->commit();
        QCOMPARE(m_committed.value_or(QString()), label);
        QCOMPARE(m_cancels, label.isNull() ? 1 : 0);
        QCOMPARE(m_committedAt, label.isNull() ? QPointF() : m_entry->textOrigin());
        QCOMPARE(m_shortcuts, 0);
        m_entry->commit();
        m_entry->cancel();
        QCOMPARE(m_commits + m_cancels, 1);
    }

    void inputMethod()
    {
        const QString composing = QStringLiteral("가나다라마바사아자차카타파하");
        QInputMethodEvent preedit(composing, {});
        QCoreApplication::sendEvent(m_entry, &preedit);
        QCOMPARE(m_entry->width(), width(composing));
        QInputMethodEvent done;
        done.setCommitString(QStringLiteral("한글"));
        QCoreApplication::sendEvent(m_entry, &done);
        QCOMPARE(m_entry->toPlainText(), QStringLiteral("한글"));
        QCOMPARE(m_entry->width(), int(TextEntryView::minWidth));
    }

    void growsAndDrawsLikeTheLabel()
    {
        const int line = int(Drawing::lineHeight(m_font));
        QCOMPARE(m_entry->size(), QSize(120, line + 6));
        const QString longLine = QStringLiteral("Hello, a longer line");
        type(longLine + "\nWy\n");
        QCOMPARE(m_entry->geometry(), QRect(40, 30, width(longLine), 3 * line + 6));

        m_entry->clearFocus(); // no caret in the picture
        const QImage shot = m_entry->grab().toImage();
        QImage label = canvas::white(m_entry->size());
        QPainter painter(&label);
        TextAnnotation(m_entry->textOrigin() - m_entry->pos(), m_entry->toPlainText(), Qt::red,
                       m_font)
            .draw(painter);
        const QRect inside = label.rect().adjusted(1, 1, -1, -1);
        QCOMPARE(shot.copy(inside).convertToFormat(label.format()), label.copy(inside));
        QCOMPARE(shot.pixel(0, 0), qRgb(128, 128, 128));
        QVERIFY(canvas::inkBounds(label).width() > 100); // the text is there to compare
    }
};

QTEST_MAIN(TestTextEntryView)
#include "tst_TextEntryView.moc"
