#pragma once

#include <QImage>
#include <QString>

namespace testkit {

// Compares a painted image with the reviewed golden PNG at goldenPath. Two pixels match when
// every channel differs by at most `tolerance`; the images match when at most `budget`
// pixels differ. On a mismatch, <name>.actual.png and <name>.diff.png (differing pixels in
// red over a faded copy) are written to the current folder and message says where.
// With CORVANE_UPDATE_GOLDENS=1 in the environment the golden is written instead and the
// comparison passes: that is the one way to regenerate them.
bool matchesGolden(const QImage &actual, const QString &goldenPath, QString *message,
                   int tolerance = 24, int budget = 40);

} // namespace testkit
