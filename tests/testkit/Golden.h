#pragma once

#include <QImage>
#include <QString>

namespace testkit {

// How many pixels of two images of the same size differ by more than `tolerance` in a channel,
// or -1 if their sizes differ. Differing pixels are marked red in *diff, if given.
int differingPixels(const QImage &actual, const QImage &expected, int tolerance,
                    QImage *diff = nullptr);

// Compares a painted image with the reviewed golden PNG at goldenPath. Two pixels match when
// every channel differs by at most `tolerance`; the images match when at most `budget`
// pixels differ. On a mismatch, <name>.actual.png and <name>.diff.png (differing pixels in
// red over a faded copy) are written to the current folder and a warning says where.
// With CORVANE_UPDATE_GOLDENS=1 in the environment the golden is written instead and the
// comparison passes: that is the one way to regenerate them.
bool matchesGolden(const QImage &actual, const QString &goldenPath, int tolerance = 24,
                   int budget = 40);

} // namespace testkit
