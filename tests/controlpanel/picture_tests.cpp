// The picture: premultiplied for AlphaBlend by the stated rule, and painted scaled to fit the
// picture frame and centred in it.
#include <cmath>

#include "controlpanel/picture.h"
#include "controlpanel/resource_ids.h"
#include "tests/controlpanel/panel_bench.h"

namespace paneltest {
namespace {

constexpr DWORD kDialogBackground = 0xF0F0F0;

TEST(PanelPicture, ColoursArePremultipliedBelowFullAlpha)
{
    const struct {
        BYTE rgba[4];
        DWORD bgra;
    } cases[] = {
        {{200, 100, 50, 255}, 0xFFC86432},  // opaque: unchanged
        {{200, 100, 50, 128}, 0x80643219},  // (c × 128 + 127) / 255
        {{255, 255, 255, 1}, 0x01010101},
        {{90, 90, 90, 0}, 0x00000000},
    };
    for (const auto& c : cases) {
        const std::vector<DWORD> out = PremultiplyToBgra(std::vector<BYTE>(c.rgba, c.rgba + 4));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], c.bgra) << int(c.rgba[3]);
    }
}

TEST(PanelPicture, TheArtworkIsOpaqueInsideWithSoftEdgesAndClearCorners)
{
    const std::vector<BYTE> rgba = DrawPictureRgba();
    ASSERT_EQ(rgba.size(), size_t(kPictureSize) * kPictureSize * 4);
    auto alphaAt = [&](int x, int y) { return rgba[(size_t(y) * kPictureSize + size_t(x)) * 4 + 3]; };
    EXPECT_EQ(alphaAt(128, 128), 255);
    EXPECT_EQ(alphaAt(0, 0), 0);
    EXPECT_EQ(alphaAt(255, 255), 0);
    // The rim is anti-aliased: partly transparent pixels, and only there.
    int partial = 0;
    for (int y = 0; y < kPictureSize; ++y) {
        for (int x = 0; x < kPictureSize; ++x) {
            if (alphaAt(x, y) > 0 && alphaAt(x, y) < 255) {
                ++partial;
                const double distance = std::hypot(x - 127.5, y - 127.5);
                EXPECT_NEAR(distance, 124.0, 1.0) << x << "," << y;
            }
        }
    }
    EXPECT_GT(partial, 100);
}

TEST(PanelPicture, PaintedScaledToTheFrameAndCentred)
{
    PanelMachine machine;
    PanelProcess panel;
    RECT frame;
    ASSERT_TRUE(GetWindowRect(panel.Item(kPictureFrame), &frame));
    POINT topLeft = {frame.left, frame.top};
    POINT bottomRight = {frame.right, frame.bottom};
    ScreenToClient(panel.Window(), &topLeft);
    ScreenToClient(panel.Window(), &bottomRight);
    const LONG width = bottomRight.x - topLeft.x;
    const LONG height = bottomRight.y - topLeft.y;
    ASSERT_GT(width, height) << "the frame is wider than high: the picture fits its height";
    const LONG side = height;
    const LONG left = topLeft.x + (width - side) / 2;
    // Beside the picture, and in its transparent corner, the dialog shows through.
    EXPECT_EQ(sim::user::PixelOf(panel.Window(), topLeft.x + 1, topLeft.y + side / 2), kDialogBackground);
    EXPECT_EQ(sim::user::PixelOf(panel.Window(), left, topLeft.y), kDialogBackground);
    EXPECT_EQ(sim::user::PixelOf(panel.Window(), bottomRight.x - 2, topLeft.y + side / 2), kDialogBackground);
    // Its opaque middle is the artwork's own colour.
    const std::vector<DWORD> pixels = PremultiplyToBgra(DrawPictureRgba());
    const DWORD middle = pixels[size_t(kPictureSize / 2) * kPictureSize + kPictureSize / 2] & 0xFFFFFF;
    EXPECT_EQ(sim::user::PixelOf(panel.Window(), left + side / 2, topLeft.y + side / 2), middle);
    // The frame control itself stays hidden.
    EXPECT_FALSE(panel.Visible(kPictureFrame));
}

}  // namespace
}  // namespace paneltest
