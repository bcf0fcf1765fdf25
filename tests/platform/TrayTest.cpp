#include "platform/Tray.h"

#include "platform/Twips.h"

#include <gtest/gtest.h>

namespace kelvo {
namespace {

TEST(TrayMouseMessage, DecodesButtonReleasesInPixelsAndTwips)
{
    struct Case
    {
        float x;
        bool twips;
        qint16 expected;
    };
    const Case cases[] = {
        {514, false, 1},
        {517, false, 2},
        {512, false, 0},
        {513, false, 0},
        {514.4f, false, 1},
        {514.0f * TwipsPerPixel, true, 1},
        {517.0f * TwipsPerPixel, true, 2},
        {514, true, 0},
        {514.0f * TwipsPerPixel, false, 0},
        {0, false, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(TrayMouseMessage(c.x, c.twips), c.expected) << c.x << (c.twips ? " twips" : " pixels");
}

} // namespace
} // namespace kelvo
