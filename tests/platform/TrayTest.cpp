#include "platform/Tray.h"

#include "platform/Twips.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kelvo {
namespace {

TEST(TrayMouseMessage, DecodesButtonReleasesInPixelsAndTwips)
{
    constexpr float Twips = TwipsPerPixel;
    const std::tuple<float, bool, qint16> cases[] = {
        {514, false, 1},         {517, false, 2},        {512, false, 0},        {513, false, 0},
        {514.4f, false, 1},      {514 * Twips, true, 1}, {517 * Twips, true, 2}, {514, true, 0},
        {514 * Twips, false, 0}, {0, false, 0},
    };
    for (const auto& [x, twips, expected] : cases)
        EXPECT_EQ(TrayMouseMessage(x, twips), expected) << x << (twips ? " twips" : " pixels");
}

} // namespace
} // namespace kelvo
