// GDI on the simulated machine: device contexts of windows (drawing into a 32-bit surface of the
// window's client area, and recording the texts drawn) and of memory (with a DIB section
// selected), fonts as their LOGFONTW, system colours and AlphaBlend with the per-pixel rule of
// premultiplied alpha. Stretching samples the nearest source pixel.
#include <algorithm>
#include <cstring>
#include <map>
#include <utility>

#include "sim/user/user_machine.h"
#include "sim/user/window_inspection.h"
#include "sim/user/window_records.h"

namespace sim::user {
namespace {

struct Surface {
    LONG width = 0;
    LONG height = 0;
    std::vector<DWORD> pixels;  // 0x00RRGGBB, top-down
    std::vector<DrawnText> texts;
    std::vector<RECT> focusRects;
};

struct Bitmap {
    LONG width = 0;
    LONG height = 0;  // rows top-down when the header's height was negative
    bool topDown = false;
    std::vector<DWORD> bits;  // BGRA as the caller sees it through the bits pointer
};

struct DeviceContext {
    HWND window = nullptr;  // null for a memory device context
    HGDIOBJ font = nullptr;
    HGDIOBJ bitmap = nullptr;
    COLORREF text = 0;
    COLORREF background = RGB(255, 255, 255);
};

class Gdi final : public MachineComponent {
public:
    std::mutex lock;
    std::map<HDC, DeviceContext> contexts;
    std::map<HGDIOBJ, LOGFONTW> fonts;
    std::map<HGDIOBJ, Bitmap> bitmaps;
    std::map<HWND, Surface> surfaces;
    ULONG_PTR nextHandle = 0x40000;

    template <class T> T NewHandle() { return reinterpret_cast<T>(nextHandle += 4); }
    Surface& SurfaceLocked(HWND window)
    {
        Surface& surface = surfaces[window];
        RECT client = {};
        GetClientRect(window, &client);
        if (surface.width != client.right || surface.height != client.bottom) {
            surface.width = client.right;
            surface.height = client.bottom;
            surface.pixels.assign(size_t(surface.width) * size_t(surface.height), 0);
        }
        return surface;
    }
};

Gdi& TheGdi() { return Machine::Current().Component<Gdi>(); }

const HBRUSH kSystemBrushBase = reinterpret_cast<HBRUSH>(ULONG_PTR(0x7F000000));
constexpr DWORD kButtonFace = 0xF0F0F0;  // COLOR_3DFACE, the dialog background
constexpr int kLineHeight = 13;          // of the dialog font, what DrawTextW answers

DWORD ToPixel(COLORREF color) { return (DWORD(GetRValue(color)) << 16) | (DWORD(GetGValue(color)) << 8) | GetBValue(color); }

void FillSurface(Surface& surface, const RECT& rect, DWORD pixel)
{
    for (LONG y = std::max<LONG>(rect.top, 0); y < std::min(rect.bottom, surface.height); ++y) {
        for (LONG x = std::max<LONG>(rect.left, 0); x < std::min(rect.right, surface.width); ++x) {
            surface.pixels[size_t(y) * size_t(surface.width) + size_t(x)] = pixel;
        }
    }
}

}  // namespace

std::vector<DrawnText> TextsDrawnIn(HWND window)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto found = gdi.surfaces.find(window);
    return found == gdi.surfaces.end() ? std::vector<DrawnText>{} : found->second.texts;
}

std::vector<RECT> FocusRectsDrawnIn(HWND window)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto found = gdi.surfaces.find(window);
    return found == gdi.surfaces.end() ? std::vector<RECT>{} : found->second.focusRects;
}

DWORD PixelOf(HWND window, int x, int y)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto found = gdi.surfaces.find(window);
    if (found == gdi.surfaces.end() || x < 0 || y < 0 || x >= found->second.width || y >= found->second.height) {
        return 0;
    }
    return found->second.pixels[size_t(y) * size_t(found->second.width) + size_t(x)];
}

}  // namespace sim::user

using sim::user::DeviceContext;
using sim::user::Gdi;
using sim::user::TheGdi;

// Validates the window and starts a paint: what the last paint drew is forgotten, and the
// background is erased with the dialog colour.
HDC BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint)
{
    if (lpPaint == nullptr || !sim::user::ChangeWindow(hWnd, [](auto& window) { window.needsPaint = false; })) {
        return nullptr;
    }
    HDC dc = GetDC(hWnd);
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    sim::user::Surface& surface = gdi.SurfaceLocked(hWnd);
    surface.texts.clear();
    surface.focusRects.clear();
    std::fill(surface.pixels.begin(), surface.pixels.end(), sim::user::kButtonFace);
    *lpPaint = {};
    lpPaint->hdc = dc;
    lpPaint->fErase = FALSE;
    lpPaint->rcPaint = {0, 0, surface.width, surface.height};
    return dc;
}

BOOL EndPaint(HWND hWnd, const PAINTSTRUCT* lpPaint)
{
    if (lpPaint != nullptr) {
        ReleaseDC(hWnd, lpPaint->hdc);
    }
    return TRUE;
}

HDC GetDC(HWND hWnd)
{
    if (hWnd == nullptr || !IsWindow(hWnd)) {
        return nullptr;
    }
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    HDC dc = gdi.NewHandle<HDC>();
    DeviceContext context;
    context.window = hWnd;
    gdi.contexts[dc] = context;
    gdi.SurfaceLocked(hWnd);
    return dc;
}

int ReleaseDC(HWND hWnd, HDC hDC)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto found = gdi.contexts.find(hDC);
    if (found == gdi.contexts.end() || found->second.window != hWnd) {
        return 0;
    }
    gdi.contexts.erase(found);
    return 1;
}

HDC CreateCompatibleDC(HDC hdc)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    HDC dc = gdi.NewHandle<HDC>();
    gdi.contexts[dc] = DeviceContext{};
    return dc;
}

BOOL DeleteDC(HDC hdc)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    return gdi.contexts.erase(hdc) != 0;
}

// A font or a bitmap; returns what was selected before (null for an unknown object).
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto context = gdi.contexts.find(hdc);
    if (context == gdi.contexts.end()) {
        return nullptr;
    }
    HGDIOBJ previous = nullptr;
    if (gdi.fonts.count(h) != 0) {
        previous = context->second.font;
        context->second.font = h;
    } else if (gdi.bitmaps.count(h) != 0 && context->second.window == nullptr) {
        // A bitmap goes only into a memory device context.
        previous = context->second.bitmap;
        context->second.bitmap = h;
    }
    return previous;
}

BOOL DeleteObject(HGDIOBJ ho)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    return gdi.fonts.erase(ho) + gdi.bitmaps.erase(ho) != 0;
}

int GetObjectW(HANDLE h, int c, LPVOID pv)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    if (auto font = gdi.fonts.find(h); font != gdi.fonts.end()) {
        if (pv == nullptr) {
            return int(sizeof(LOGFONTW));
        }
        const int size = std::min(c, int(sizeof(LOGFONTW)));
        std::memcpy(pv, &font->second, size_t(std::max(size, 0)));
        return size;
    }
    if (auto bitmap = gdi.bitmaps.find(h); bitmap != gdi.bitmaps.end()) {
        if (pv == nullptr || c < int(sizeof(BITMAP))) {
            return pv == nullptr ? int(sizeof(BITMAP)) : 0;
        }
        BITMAP description = {};
        description.bmWidth = bitmap->second.width;
        description.bmHeight = bitmap->second.height;
        description.bmWidthBytes = bitmap->second.width * 4;
        description.bmPlanes = 1;
        description.bmBitsPixel = 32;
        description.bmBits = bitmap->second.bits.data();
        std::memcpy(pv, &description, sizeof description);
        return int(sizeof description);
    }
    return 0;
}

HFONT CreateFontIndirectW(const LOGFONTW* lplf)
{
    if (lplf == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    HFONT font = gdi.NewHandle<HFONT>();
    gdi.fonts[font] = *lplf;
    return font;
}

COLORREF SetTextColor(HDC hdc, COLORREF color)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto context = gdi.contexts.find(hdc);
    if (context == gdi.contexts.end()) {
        return 0xFFFFFFFF;  // CLR_INVALID
    }
    return std::exchange(context->second.text, color);
}

COLORREF SetBkColor(HDC hdc, COLORREF color)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto context = gdi.contexts.find(hdc);
    if (context == gdi.contexts.end()) {
        return 0xFFFFFFFF;
    }
    return std::exchange(context->second.background, color);
}

// The default colours of Windows 10's classic scheme.
DWORD GetSysColor(int nIndex)
{
    switch (nIndex) {
    case COLOR_WINDOW:
    case COLOR_HIGHLIGHTTEXT:
        return RGB(255, 255, 255);
    case COLOR_HIGHLIGHT:
        return RGB(0, 120, 215);
    case COLOR_WINDOWTEXT:
        return RGB(0, 0, 0);
    default:
        return RGB(240, 240, 240);
    }
}

HBRUSH GetSysColorBrush(int nIndex)
{
    return reinterpret_cast<HBRUSH>(reinterpret_cast<ULONG_PTR>(sim::user::kSystemBrushBase) + ULONG_PTR(nIndex));
}

int FillRect(HDC hDC, const RECT* lprc, HBRUSH hbr)
{
    const ULONG_PTR brush = reinterpret_cast<ULONG_PTR>(hbr);
    const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(sim::user::kSystemBrushBase);
    if (lprc == nullptr || brush < base || brush > base + 40) {
        // Only the system colour brushes exist here.
        return 0;
    }
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto context = gdi.contexts.find(hDC);
    if (context == gdi.contexts.end() || context->second.window == nullptr) {
        return 0;
    }
    sim::user::FillSurface(gdi.SurfaceLocked(context->second.window), *lprc,
                           sim::user::ToPixel(GetSysColor(int(brush - base))));
    return 1;
}

// Records the text as shown: without DT_NOPREFIX "&&" shows one ampersand and a single "&"
// underlines the character after it.
int DrawTextW(HDC hdc, LPCWSTR lpchText, int cchText, LPRECT lprc, UINT format)
{
    if (lpchText == nullptr || lprc == nullptr) {
        return 0;
    }
    const std::u16string text(lpchText, cchText < 0 ? std::char_traits<char16_t>::length(lpchText) : size_t(cchText));
    sim::user::DrawnText drawn;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((format & DT_NOPREFIX) == 0 && text[i] == u'&' && i + 1 < text.size()) {
            ++i;
            if (text[i] != u'&') {
                drawn.underlined = int(drawn.shown.size());
            }
        }
        drawn.shown += text[i];
    }
    drawn.rect = *lprc;
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto context = gdi.contexts.find(hdc);
    if (context == gdi.contexts.end() || context->second.window == nullptr) {
        return 0;
    }
    auto font = gdi.fonts.find(context->second.font);
    drawn.weight = font != gdi.fonts.end() ? font->second.lfWeight : FW_NORMAL;
    drawn.color = context->second.text;
    drawn.background = context->second.background;
    gdi.SurfaceLocked(context->second.window).texts.push_back(drawn);
    return sim::user::kLineHeight;
}

BOOL DrawFocusRect(HDC hDC, const RECT* lprc)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto context = gdi.contexts.find(hDC);
    if (lprc == nullptr || context == gdi.contexts.end() || context->second.window == nullptr) {
        return FALSE;
    }
    gdi.SurfaceLocked(context->second.window).focusRects.push_back(*lprc);
    return TRUE;
}

BOOL DrawIcon(HDC hDC, int X, int Y, HICON hIcon)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    return hIcon != nullptr && gdi.contexts.count(hDC) != 0;
}

// A 32-bit DIB section of the size the header gives; other depths and compressions are not
// modelled.
HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits, HANDLE hSection, DWORD offset)
{
    if (pbmi == nullptr || pbmi->bmiHeader.biBitCount != 32 || pbmi->bmiHeader.biCompression != BI_RGB ||
        pbmi->bmiHeader.biWidth <= 0 || pbmi->bmiHeader.biHeight == 0 || hSection != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    HBITMAP handle = gdi.NewHandle<HBITMAP>();
    sim::user::Bitmap& bitmap = gdi.bitmaps[handle];
    bitmap.width = pbmi->bmiHeader.biWidth;
    bitmap.topDown = pbmi->bmiHeader.biHeight < 0;
    bitmap.height = bitmap.topDown ? -pbmi->bmiHeader.biHeight : pbmi->bmiHeader.biHeight;
    bitmap.bits.assign(size_t(bitmap.width) * size_t(bitmap.height), 0);
    if (ppvBits != nullptr) {
        *ppvBits = bitmap.bits.data();
    }
    return handle;
}

// Source over with premultiplied source colours: dst = src × k + dst × (1 − αsrc × k), k being
// the constant alpha / 255. Fails, as Windows does, for a source rectangle outside the source
// bitmap or negative sizes.
BOOL AlphaBlend(HDC hdcDest, int xoriginDest, int yoriginDest, int wDest, int hDest, HDC hdcSrc, int xoriginSrc,
                int yoriginSrc, int wSrc, int hSrc, BLENDFUNCTION ftn)
{
    Gdi& gdi = TheGdi();
    std::lock_guard<std::mutex> held(gdi.lock);
    auto target = gdi.contexts.find(hdcDest);
    auto source = gdi.contexts.find(hdcSrc);
    if (target == gdi.contexts.end() || source == gdi.contexts.end() || target->second.window == nullptr ||
        ftn.BlendOp != AC_SRC_OVER || ftn.BlendFlags != 0 || wDest < 0 || hDest < 0 || wSrc < 0 || hSrc < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto bitmap = gdi.bitmaps.find(source->second.bitmap);
    if (bitmap == gdi.bitmaps.end() || xoriginSrc < 0 || yoriginSrc < 0 || xoriginSrc + wSrc > bitmap->second.width ||
        yoriginSrc + hSrc > bitmap->second.height) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::user::Surface& surface = gdi.SurfaceLocked(target->second.window);
    const sim::user::Bitmap& pixels = bitmap->second;
    const DWORD constant = ftn.SourceConstantAlpha;
    for (int y = 0; y < hDest; ++y) {
        const int ty = yoriginDest + y;
        if (ty < 0 || ty >= surface.height) {
            continue;
        }
        const int sy = yoriginSrc + int(int64_t(y) * hSrc / std::max(hDest, 1));
        const int row = pixels.topDown ? sy : pixels.height - 1 - sy;
        for (int x = 0; x < wDest; ++x) {
            const int tx = xoriginDest + x;
            if (tx < 0 || tx >= surface.width) {
                continue;
            }
            const int sx = xoriginSrc + int(int64_t(x) * wSrc / std::max(wDest, 1));
            const DWORD bgra = pixels.bits[size_t(row) * size_t(pixels.width) + size_t(sx)];
            const DWORD alpha = (ftn.AlphaFormat & AC_SRC_ALPHA) != 0 ? (bgra >> 24) * constant / 255 : constant;
            DWORD& out = surface.pixels[size_t(ty) * size_t(surface.width) + size_t(tx)];
            DWORD blended = 0;
            for (int shift = 0; shift <= 16; shift += 8) {
                const DWORD s = ((bgra >> shift) & 0xFF) * constant / 255;
                const DWORD d = (out >> shift) & 0xFF;
                blended |= std::min<DWORD>(255, s + d * (255 - alpha) / 255) << shift;
            }
            out = blended;
        }
    }
    return TRUE;
}
