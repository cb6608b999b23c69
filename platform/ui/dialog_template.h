#pragma once

#include <cstdint>
#include <span>

// A dialog template: the dialog's size, caption and font, and its controls
// with ids, kinds, captions and rectangles in dialog units. Templates are
// plain tables (resources/) so that the layout is data, as in a resource
// script. Qt-free.

namespace quellis::ui
{

// The id of controls that the program never addresses (labels, frames).
inline constexpr int kIdStatic = -1;

enum class ControlKind
{
    PushButton,
    DefPushButton,
    CheckBox, // automatic check box
    RadioButton, // automatic radio button; kGroup starts a group
    GroupBox,
    Label, // static text
    IconStatic, // static showing an icon resource (iconId)
    Edit,
    ListView, // report style
    RichEdit,
    IpAddress,
    Picture, // static that a picture control takes over
};

enum ControlStyle : std::uint32_t
{
    kStyleNone = 0,
    kHidden = 1u << 0,
    kDisabled = 1u << 1,
    kGroup = 1u << 2, // first control of a group (radio buttons)
    kTabStop = 1u << 3,
    kMultiLine = 1u << 4,
    kReadOnly = 1u << 5,
    kPassword = 1u << 6,
    kAutoHScroll = 1u << 7,
    kAutoVScroll = 1u << 8,
    kVScroll = 1u << 9,
    kBorder = 1u << 10,
    kWantReturn = 1u << 11,
    kAlignRight = 1u << 12,
    kAlignCenter = 1u << 13,
    kNotify = 1u << 14, // a static that reports clicks
    kShowSelAlways = 1u << 15,
    kNumber = 1u << 16,
};

struct ControlTemplate
{
    int id = kIdStatic;
    ControlKind kind = ControlKind::Label;
    const char* caption = ""; // UTF-8
    int x = 0;
    int y = 0;
    int cx = 0;
    int cy = 0;
    std::uint32_t style = kStyleNone;
    int iconId = 0;
};

enum DialogStyle : std::uint32_t
{
    kDialogPopup = 0,
    kDialogChild = 1u << 0,
    kDialogSysMenu = 1u << 1,
    kDialogMinimizeBox = 1u << 2,
    kDialogMaximizeBox = 1u << 3,
    kDialogResizable = 1u << 4,
};

struct DialogTemplate
{
    int id = 0;
    const char* caption = ""; // UTF-8
    int cx = 0; // dialog units
    int cy = 0;
    const char* fontFace = "MS Shell Dlg";
    int pointSize = 9;
    std::uint32_t style = kDialogPopup;
    std::span<const ControlTemplate> controls;
};

// Dialog units to pixels with the dialog font's base units, as Windows
// converts them: x * baseX / 4 and y * baseY / 8, rounded.
struct BaseUnits
{
    int x = 0; // average character width
    int y = 0; // character height
};

[[nodiscard]] constexpr int MulDivRounded(int value, int numerator, int denominator)
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

[[nodiscard]] constexpr int DialogUnitsToPixelsX(int units, BaseUnits base)
{
    return MulDivRounded(units, base.x, 4);
}

[[nodiscard]] constexpr int DialogUnitsToPixelsY(int units, BaseUnits base)
{
    return MulDivRounded(units, base.y, 8);
}

} // namespace quellis::ui
