#include "saver/frmMain.h"
#include "support/Application.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(MovementRule, TheFirstPositionIsRecordedAndTheNextRealMoveEnds)
{
    MovementRule first;
    EXPECT_FALSE(first.EndsScreenSaver({300, 200})) << "the desktop's move when the window opens";
    EXPECT_FALSE(first.EndsScreenSaver({300, 200}));
    EXPECT_TRUE(first.EndsScreenSaver({301, 200})) << "one pixel";

    MovementRule drift;
    for (double x = 300; x < 600; x += 0.3)
        ASSERT_FALSE(drift.EndsScreenSaver({x, 200})) << "less than 5 twips per event, however far";
}

TEST(ScreenSaverWindow, AKeyAClickOrAMoveEndsIt)
{
    test::EnsureApplication<QApplication>();
    int exits = 0;
    frmMain window([&] { ++exits; });
    window.showScreenSaver();
    QKeyEvent shift(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier);
    QApplication::sendEvent(&window, &shift);
    EXPECT_EQ(exits, 1);
    QMouseEvent click(QEvent::MouseButtonPress, {5, 5}, {5, 5}, Qt::RightButton, Qt::RightButton, {});
    QApplication::sendEvent(&window, &click);
    EXPECT_EQ(exits, 2);
    for (const QPointF at : {QPointF(50, 50), QPointF(50, 50), QPointF(52, 50)}) {
        QMouseEvent move(QEvent::MouseMove, at, at, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &move);
    }
    EXPECT_EQ(exits, 3);
}

} // namespace
} // namespace kelvo
