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
    double x = 300;
    for (int i = 0; i < 1000; ++i, x += 0.3)
        ASSERT_FALSE(drift.EndsScreenSaver({x, 200})) << "less than 5 twips per event, however far";

    MovementRule corner;
    EXPECT_FALSE(corner.EndsScreenSaver({0, 0}));
    EXPECT_FALSE(corner.EndsScreenSaver({0, 0})) << "a pointer resting at (0, 0) is always a first position";
    EXPECT_FALSE(corner.EndsScreenSaver({40, 40}));
    EXPECT_TRUE(corner.EndsScreenSaver({40, 42}));
}

TEST(ScreenSaverWindow, AnyKeyOrClickEndsIt)
{
    test::EnsureApplication<QApplication>();
    int exits = 0;
    frmMain window([&] { ++exits; });
    window.showScreenSaver();
    EXPECT_EQ(window.cursor().shape(), Qt::BlankCursor);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Kelvo App"));

    QKeyEvent shift(QEvent::KeyPress, Qt::Key_Shift, Qt::ShiftModifier);
    QApplication::sendEvent(&window, &shift);
    EXPECT_EQ(exits, 1) << "Shift alone ends it";
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(5, 5), QPointF(5, 5), Qt::RightButton,
                      Qt::RightButton, Qt::NoModifier);
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
