// The control panel's picture: the project's own artwork, a 256 × 256 RGBA image drawn in code
// (a gain knob on the R9's panel), made ready for AlphaBlend as a 32-bit top-down DIB section
// with premultiplied alpha.
#pragma once

#include <vector>

#include "platform/user.h"

constexpr int kPictureSize = 256;

// The image with straight (not premultiplied) alpha, RGBA row by row from the top.
std::vector<BYTE> DrawPictureRgba();

// Every pixel whose alpha a is below 255 gets its colours c replaced by (c × a + 127) / 255;
// RGBA in, BGRA (the DIB's order) out.
std::vector<DWORD> PremultiplyToBgra(const std::vector<BYTE>& rgba);

class CPicture {
public:
    CPicture();
    ~CPicture();
    CPicture(const CPicture&) = delete;
    CPicture& operator=(const CPicture&) = delete;

    bool Create();
    // Scaled to fit the rectangle, keeping its proportions, and centred in it.
    void Draw(HDC target, const RECT& frame) const;

private:
    HBITMAP m_Bitmap;
};
