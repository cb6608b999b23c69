#pragma once

// Where a right click in the log pane falls with respect to the selection, and
// the line height that decision measures with. Positions are client pixels of
// the pane, y growing downwards. Qt-free and header-only, so that the rules are
// tested as a table without a window.

namespace quellis::app
{

struct PanePoint
{
    int x = 0;
    int y = 0;
};

// The height of one line: the distance between the tops of lines 0 and 1 when
// the text has a second line; otherwise the default font's height in twips
// divided by 15 (integer division), which is its pixel height at 96 dots per
// inch.
[[nodiscard]] constexpr int PaneLineHeight(bool hasSecondLine, int firstLineTop, int secondLineTop, int fontHeightTwips)
{
    return hasSecondLine ? secondLineTop - firstLineTop : fontHeightTwips / 15;
}

// `start` and `end` are the tops of the selection's first and last characters.
// The click is outside when it is above the start line, below the end line,
// left of the start on the start line, or right of the end on the end line;
// anywhere else (lines in between included) it is inside, and the selection
// stays so that "copy" copies it. The comparisons are strict as in the rules:
// a click exactly on a line's top edge is not "on" that line.
[[nodiscard]] constexpr bool ClickInsideSelection(PanePoint start, PanePoint end, int lineHeight, PanePoint click)
{
    const bool aboveStartLine = click.y < start.y;
    const bool belowEndLine = click.y > end.y + lineHeight;
    const bool leftOfStart = click.x < start.x && start.y < click.y && click.y < start.y + lineHeight;
    const bool rightOfEnd = click.x > end.x && end.y < click.y && click.y < end.y + lineHeight;
    return !(aboveStartLine || belowEndLine || leftOfStart || rightOfEnd);
}

// Where the caret goes: the top of the clicked line, counted in whole line
// heights from the client top. A font too small for one pixel per line (height
// 0) leaves the click's own y rather than dividing by zero.
[[nodiscard]] constexpr int CaretLineTop(int clickY, int lineHeight)
{
    return lineHeight > 0 ? lineHeight * (clickY / lineHeight) : clickY;
}

} // namespace quellis::app
