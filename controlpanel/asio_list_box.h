// The device list's drawing: each item in one line, vertically centred, in the highlight colours
// when selected, with a focus rectangle when focused; the active device (the one the settings
// name) in the list box's font at weight 900.
#pragma once

#include "platform/user.h"

class CAsioListBox {
public:
    explicit CAsioListBox(const int* activeIndex) : m_ActiveIndex(activeIndex) { }

    void DrawItem(const DRAWITEMSTRUCT& item) const;

private:
    const int* m_ActiveIndex;
};
