// Dialog templates as data: controls with their ids, kinds, texts, styles and positions in
// dialog units, in template order (which is also the tab order).
#pragma once

#include <string>
#include <vector>

#include "platform/WinTypes.h"

enum class ItemKind {
    PushButton,
    CheckBox,          // automatic two-state check box
    TriStateButton,    // automatic three-state check box with the look of a push button
    Edit,
    Static,
    Icon,              // a static showing an icon resource
    ListBox,
    TrackBar,
};

// Style bits the framework honours.
namespace ItemStyle {
constexpr DWORD None = 0;
constexpr DWORD Default = 1u << 0;     // default push button
constexpr DWORD Hidden = 1u << 1;      // not visible
constexpr DWORD Disabled = 1u << 2;    // not enabled
constexpr DWORD Border = 1u << 3;
constexpr DWORD RightAlign = 1u << 4;  // right-aligned text
constexpr DWORD AutoHScroll = 1u << 5;
constexpr DWORD NoPrefix = 1u << 6;    // '&' is shown as it is
constexpr DWORD VScroll = 1u << 7;
constexpr DWORD Notify = 1u << 8;
constexpr DWORD TicksTop = 1u << 9;
constexpr DWORD SelRange = 1u << 10;
constexpr DWORD TabStop = 1u << 11;
}  // namespace ItemStyle

struct DialogItem {
    int id;               // -1 for a static without id
    ItemKind kind;
    std::string text;     // UTF-8
    DWORD style;
    int x, y, cx, cy;     // dialog units
};

namespace DialogStyle {
constexpr DWORD None = 0;
constexpr DWORD Visible = 1u << 0;
constexpr DWORD MinimizeBox = 1u << 1;
constexpr DWORD ToolWindow = 1u << 2;  // small caption, no task-bar entry
constexpr DWORD AppWindow = 1u << 3;   // shown on the task bar
}  // namespace DialogStyle

struct DialogTemplate {
    int id;
    std::string title;
    DWORD style;
    int cx, cy;                   // dialog units
    std::string fontFace;         // UTF-8
    int fontPointSize;
    std::vector<DialogItem> items;
    // A pixel area in the top-left corner of the client area that no control may cover
    // (the main window's preview); 0 x 0 when there is none.
    int reservedWidthPx = 0;
    int reservedHeightPx = 0;
};
