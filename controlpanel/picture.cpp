// The artwork is drawn with anti-aliased edges, so that its rim has partly transparent pixels
// and the premultiplication matters where it is blended over the dialog.
#include "controlpanel/picture.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Colour {
    double red, green, blue;
};

// Coverage of a disc edge at distance d from the centre, over one pixel.
double Coverage(double distance, double radius) { return std::clamp(radius - distance + 0.5, 0.0, 1.0); }

Colour Mix(Colour a, Colour b, double t)
{
    return {a.red + (b.red - a.red) * t, a.green + (b.green - a.green) * t, a.blue + (b.blue - a.blue) * t};
}

// Over the knob's body: its face with a light from the top left, the level arc (orange, three
// quarters of a turn starting at the lower left, lit up to two thirds) and the pointer.
Colour KnobColour(double dx, double dy, double distance)
{
    const Colour rim = {0.16, 0.18, 0.21};
    const Colour face = {0.32, 0.35, 0.40};
    const Colour shine = {0.62, 0.66, 0.72};
    const Colour level = {0.98, 0.55, 0.12};
    const Colour unlit = {0.24, 0.26, 0.30};
    double angle = std::atan2(dx, -dy) * 180.0 / kPi;  // 0 at the top, clockwise
    if (distance > 100.0) {
        // The arc runs from -135° to +135°; the lit part ends at +45°.
        if (distance > 104.0 && distance < 118.0 && angle > -135.0 && angle < 135.0) {
            return angle < 45.0 ? level : unlit;
        }
        return rim;
    }
    const double light = std::clamp(1.0 - std::hypot(dx + 40.0, dy + 40.0) / 150.0, 0.0, 1.0);
    Colour colour = Mix(face, shine, light * light);
    // The pointer, pointing at +45°.
    const double pointer = 45.0 * kPi / 180.0;
    const double along = dx * std::sin(pointer) - dy * std::cos(pointer);
    const double across = std::fabs(dx * std::cos(pointer) + dy * std::sin(pointer));
    if (along > 30.0 && along < 88.0 && across < 5.0) {
        colour = Mix(colour, {0.96, 0.96, 0.96}, std::clamp(5.5 - across, 0.0, 1.0));
    }
    return colour;
}

BYTE ToByte(double value) { return BYTE(std::lround(std::clamp(value, 0.0, 1.0) * 255.0)); }

}  // namespace

std::vector<BYTE> DrawPictureRgba()
{
    std::vector<BYTE> rgba(size_t(kPictureSize) * kPictureSize * 4, 0);
    const double centre = (kPictureSize - 1) / 2.0;
    for (int y = 0; y < kPictureSize; ++y) {
        for (int x = 0; x < kPictureSize; ++x) {
            const double dx = x - centre;
            const double dy = y - centre;
            const double distance = std::hypot(dx, dy);
            const double alpha = Coverage(distance, 124.0);
            if (alpha <= 0.0) {
                continue;
            }
            const Colour colour = KnobColour(dx, dy, distance);
            BYTE* pixel = &rgba[(size_t(y) * kPictureSize + size_t(x)) * 4];
            pixel[0] = ToByte(colour.red);
            pixel[1] = ToByte(colour.green);
            pixel[2] = ToByte(colour.blue);
            pixel[3] = ToByte(alpha);
        }
    }
    return rgba;
}

std::vector<DWORD> PremultiplyToBgra(const std::vector<BYTE>& rgba)
{
    std::vector<DWORD> bgra(rgba.size() / 4);
    for (size_t i = 0; i < bgra.size(); ++i) {
        DWORD red = rgba[i * 4];
        DWORD green = rgba[i * 4 + 1];
        DWORD blue = rgba[i * 4 + 2];
        const DWORD alpha = rgba[i * 4 + 3];
        if (alpha < 255) {
            red = (red * alpha + 127) / 255;
            green = (green * alpha + 127) / 255;
            blue = (blue * alpha + 127) / 255;
        }
        bgra[i] = (alpha << 24) | (red << 16) | (green << 8) | blue;
    }
    return bgra;
}

CPicture::CPicture() : m_Bitmap(nullptr) { }

CPicture::~CPicture()
{
    if (m_Bitmap != nullptr) {
        DeleteObject(m_Bitmap);
    }
}

bool CPicture::Create()
{
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = kPictureSize;
    info.bmiHeader.biHeight = -kPictureSize;  // top-down, as the image is drawn
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    m_Bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (m_Bitmap == nullptr || bits == nullptr) {
        return false;
    }
    const std::vector<DWORD> pixels = PremultiplyToBgra(DrawPictureRgba());
    std::copy(pixels.begin(), pixels.end(), static_cast<DWORD*>(bits));
    return true;
}

void CPicture::Draw(HDC target, const RECT& frame) const
{
    if (m_Bitmap == nullptr) {
        return;
    }
    const LONG width = frame.right - frame.left;
    const LONG height = frame.bottom - frame.top;
    const double scale = std::min(double(height) / kPictureSize, double(width) / kPictureSize);
    const int scaledWidth = int(kPictureSize * scale);
    const int scaledHeight = int(kPictureSize * scale);
    HDC source = CreateCompatibleDC(target);
    HGDIOBJ previous = SelectObject(source, m_Bitmap);
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(target, frame.left + (width - scaledWidth) / 2, frame.top + (height - scaledHeight) / 2, scaledWidth,
               scaledHeight, source, 0, 0, kPictureSize, kPictureSize, blend);
    SelectObject(source, previous);
    DeleteDC(source);
}
