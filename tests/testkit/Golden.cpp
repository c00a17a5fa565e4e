#include "testkit/Golden.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QPainter>

namespace testkit {

int differingPixels(const QImage &actualIn, const QImage &expectedIn, int tolerance, QImage *diff)
{
    if (actualIn.size() != expectedIn.size())
        return -1;
    const QImage actual = actualIn.convertToFormat(QImage::Format_ARGB32);
    const QImage expected = expectedIn.convertToFormat(QImage::Format_ARGB32);
    if (diff) {
        *diff = expected.copy();
        QPainter fade(diff);
        fade.fillRect(diff->rect(), QColor(255, 255, 255, 200));
    }
    int differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        const auto *a = reinterpret_cast<const QRgb *>(actual.constScanLine(y));
        const auto *e = reinterpret_cast<const QRgb *>(expected.constScanLine(y));
        for (int x = 0; x < actual.width(); ++x) {
            const int delta = std::max(
                {std::abs(qRed(a[x]) - qRed(e[x])), std::abs(qGreen(a[x]) - qGreen(e[x])),
                 std::abs(qBlue(a[x]) - qBlue(e[x])), std::abs(qAlpha(a[x]) - qAlpha(e[x]))});
            if (delta > tolerance) {
                ++differing;
                if (diff)
                    diff->setPixel(x, y, qRgb(255, 0, 0));
            }
        }
    }
    return differing;
}

bool matchesGolden(const QImage &actualIn, const QString &goldenPath, int tolerance, int budget)
{
    const QImage actual = actualIn.convertToFormat(QImage::Format_ARGB32);
    const QString base = QFileInfo(goldenPath).completeBaseName();
    const auto fail = [&](const QString &why, const QImage &diff = {}) {
        actual.save(base + ".actual.png");
        if (!diff.isNull())
            diff.save(base + ".diff.png");
        qWarning("%s: %s (see %s.{actual,diff}.png in %s)", qPrintable(goldenPath), qPrintable(why),
                 qPrintable(base), qPrintable(QDir::currentPath()));
        return false;
    };
    if (qEnvironmentVariableIntValue("CORVANE_UPDATE_GOLDENS") == 1) {
        const bool saved =
            QDir().mkpath(QFileInfo(goldenPath).absolutePath()) && actual.save(goldenPath, "PNG");
        if (!saved)
            qWarning("could not write %s", qPrintable(goldenPath));
        return saved;
    }
    const QImage golden(goldenPath);
    if (golden.isNull())
        return fail("no golden image");
    QImage diff;
    const int differing = differingPixels(actual, golden, tolerance, &diff);
    if (differing < 0)
        return fail(QString("size %1, expected %2")
                        .arg(QDebug::toString(actual.size()), QDebug::toString(golden.size())));
    return differing <= budget ||
           fail(QString("%1 pixels differ (budget %2)").arg(differing).arg(budget), diff);
}

} // namespace testkit
