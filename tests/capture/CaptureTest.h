#pragma once

#include <QList>
#include <QObject>

// Capture of two 1920x1080 monitors side by side on one X screen (LEFT primary, RIGHT beside
// it) whose root shows RootPattern. The scales are the pixel ratios the executable's
// environment gives the two screens; every expectation below holds at any of them.
class CaptureTest : public QObject
{
    Q_OBJECT

public:
    explicit CaptureTest(QList<qreal> scales = {1.0, 1.0});

private slots:
    void initTestCase();
    void capturesEveryScreen_data();
    void capturesEveryScreen();
    void plainReadInBands_data();
    void plainReadInBands();
    void imagesOutliveLaterCaptures();
    void frozenScreensReadAsFrozen();
    // Changes the monitors, so it runs last.
    void segmentsFollowTheScreens();

private:
    QList<qreal> m_scales;
};
