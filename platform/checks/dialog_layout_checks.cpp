// User mode: the layouts and values of the window, dialog, control and GDI declarations the
// control panel relies on.
#include "platform/user.h"

#include <cstddef>

static_assert(sizeof(MSG) == 48 && sizeof(RECT) == 16 && sizeof(POINT) == 8);
static_assert(sizeof(DRAWITEMSTRUCT) == 64);
static_assert(offsetof(DRAWITEMSTRUCT, hwndItem) == 24 && offsetof(DRAWITEMSTRUCT, hDC) == 32);
static_assert(offsetof(DRAWITEMSTRUCT, rcItem) == 40 && offsetof(DRAWITEMSTRUCT, itemData) == 56);
static_assert(sizeof(MEASUREITEMSTRUCT) == 32 && offsetof(MEASUREITEMSTRUCT, itemHeight) == 16);
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_classguid) == 12);
static_assert(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) == 28);
static_assert(sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION) == 32 && sizeof(CACHE_DESCRIPTOR) == 12);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION, Relationship) == 8);
static_assert(offsetof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION, Cache) == 16);
static_assert(sizeof(LOGFONTW) == 92 && offsetof(LOGFONTW, lfWeight) == 16 && offsetof(LOGFONTW, lfFaceName) == 28);
static_assert(sizeof(BITMAPINFOHEADER) == 40 && sizeof(BITMAPINFO) == 44 && sizeof(BLENDFUNCTION) == 4);
static_assert(sizeof(PAINTSTRUCT) == 72 && offsetof(PAINTSTRUCT, rcPaint) == 12);
static_assert(sizeof(INITCOMMONCONTROLSEX) == 8);

static_assert(WM_PAINT == 0x0F && WM_DRAWITEM == 0x2B && WM_MEASUREITEM == 0x2C && WM_SETICON == 0x80);
static_assert(WM_QUERYDRAGICON == 0x37 && WM_INITDIALOG == 0x110 && WM_COMMAND == 0x111 && WM_HSCROLL == 0x114);
static_assert(WM_DEVICECHANGE == 0x219 && WM_APP == 0x8000 && WM_ICONERASEBKGND == 0x27);
static_assert(WM_KEYFIRST == 0x100 && WM_KEYLAST == 0x109 && WM_MOUSEFIRST == 0x200 && WM_MOUSELAST == 0x20E);
static_assert(LB_ADDSTRING == 0x180 && LB_RESETCONTENT == 0x184 && LB_SETCURSEL == 0x186 && LB_GETCURSEL == 0x188);
static_assert(LB_GETTEXT == 0x189 && LB_GETTEXTLEN == 0x18A && LB_GETCOUNT == 0x18B && LB_ERR == -1);
static_assert(CB_ADDSTRING == 0x143 && CB_GETCOUNT == 0x146 && CB_GETCURSEL == 0x147 && CB_GETLBTEXT == 0x148);
static_assert(CB_RESETCONTENT == 0x14B && CB_SETCURSEL == 0x14E && CB_ERR == -1);
static_assert(LBN_SELCHANGE == 1 && CBN_SELCHANGE == 1);
static_assert(TBM_GETPOS == 0x400 && TBM_GETRANGEMIN == 0x401 && TBM_GETRANGEMAX == 0x402);
static_assert(TBM_SETPOS == 0x405 && TBM_SETRANGE == 0x406);
static_assert(TB_LINEUP == 0 && TB_THUMBPOSITION == 4 && TB_THUMBTRACK == 5 && TB_BOTTOM == 7 && TB_ENDTRACK == 8);
static_assert(DBT_DEVICEARRIVAL == 0x8000 && DBT_DEVICEREMOVECOMPLETE == 0x8004);
static_assert(DBT_DEVTYP_DEVICEINTERFACE == 5 && DEVICE_NOTIFY_WINDOW_HANDLE == 0);
static_assert(ODT_LISTBOX == 2 && ODS_SELECTED == 1 && ODS_FOCUS == 0x10);
static_assert(DT_SINGLELINE == 0x20 && DT_VCENTER == 4 && DT_NOPREFIX == 0x800);
static_assert(AC_SRC_OVER == 0 && AC_SRC_ALPHA == 1 && BI_RGB == 0 && FW_HEAVY == 900);
static_assert(COLOR_HIGHLIGHT == 13 && COLOR_HIGHLIGHTTEXT == 14 && COLOR_WINDOW == 5 && COLOR_WINDOWTEXT == 8);
static_assert(MB_ICONEXCLAMATION == 0x30 && IDOK == 1 && IDCANCEL == 2 && SW_SHOWNORMAL == 1 && SW_MINIMIZE == 6);
static_assert(PROCESS_QUERY_INFORMATION == 0x400 && PROCESS_VM_READ == 0x10 && ICC_WIN95_CLASSES == 0xFF);
static_assert(GWLP_USERDATA == -21 && DWLP_MSGRESULT == 0 && ICON_SMALL == 0 && ICON_BIG == 1);
static_assert(RelationProcessorCore == 0 && RelationNumaNode == 1 && RelationCache == 2);
static_assert(RelationProcessorPackage == 3);
static_assert(WS_CHILD == 0x40000000 && WS_VISIBLE == 0x10000000 && WS_DISABLED == 0x08000000);
static_assert(DS_SETFONT == 0x40 && DS_MODALFRAME == 0x80 && LBS_OWNERDRAWFIXED == 0x10 && CBS_DROPDOWNLIST == 3);
static_assert(SS_BLACKFRAME == 7 && SS_SUNKEN == 0x1000 && TBS_BOTH == 8 && TBS_NOTICKS == 0x10);
static_assert(ERROR_RESOURCE_NAME_NOT_FOUND == 1814 && ERROR_CANNOT_FIND_WND_CLASS == 1407);
static_assert(ERROR_TLW_WITH_WSCHILD == 1406 && ERROR_CONTROL_ID_NOT_FOUND == 1421);
