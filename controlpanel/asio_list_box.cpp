#include "controlpanel/asio_list_box.h"

#include <vector>

namespace {

constexpr LONG kHeavyWeight = 900;

}  // namespace

void CAsioListBox::DrawItem(const DRAWITEMSTRUCT& item) const
{
    if (item.itemID == UINT(-1)) {
        return;  // an empty list box draws only its focus
    }
    const LRESULT length = SendMessageW(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0);
    if (length == LB_ERR) {
        return;
    }
    std::vector<WCHAR> text(size_t(length) + 1, 0);
    SendMessageW(item.hwndItem, LB_GETTEXT, item.itemID, reinterpret_cast<LPARAM>(text.data()));
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    RECT area = item.rcItem;
    FillRect(item.hDC, &area, GetSysColorBrush(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    const COLORREF oldText = SetTextColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    const COLORREF oldBackground = SetBkColor(item.hDC, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    HFONT heavy = nullptr;
    HGDIOBJ previousFont = nullptr;
    HFONT listFont = reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0));
    if (m_ActiveIndex != nullptr && int(item.itemID) == *m_ActiveIndex && listFont != nullptr) {
        LOGFONTW font = {};
        if (GetObjectW(listFont, sizeof font, &font) != 0) {
            font.lfWeight = kHeavyWeight;
            heavy = CreateFontIndirectW(&font);
        }
    }
    if (heavy != nullptr || listFont != nullptr) {
        previousFont = SelectObject(item.hDC, heavy != nullptr ? static_cast<HGDIOBJ>(heavy) : listFont);
    }
    DrawTextW(item.hDC, text.data(), -1, &area, DT_SINGLELINE | DT_VCENTER);
    if ((item.itemState & ODS_FOCUS) != 0) {
        DrawFocusRect(item.hDC, &item.rcItem);
    }
    if (previousFont != nullptr) {
        SelectObject(item.hDC, previousFont);
    }
    if (heavy != nullptr) {
        DeleteObject(heavy);
    }
    SetTextColor(item.hDC, oldText);
    SetBkColor(item.hDC, oldBackground);
}
