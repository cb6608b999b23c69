#pragma once

#include <array>
#include <string_view>
#include <utility>

// The texts that follow the language setting: the device list's column
// headers and the main dialog's button and label captions. Everything else the
// program shows (message boxes, log lines, other dialogs) keeps its own text.

namespace quellis::app
{

inline constexpr int kLanguageChinese = 1;

inline constexpr std::size_t kColumnCount = 9;
inline constexpr std::size_t kCaptionCount = 23;

struct LanguageTexts
{
    std::array<std::string_view, kColumnCount> headers;
    // (control id, caption) in the order the captions are set.
    std::array<std::pair<int, std::string_view>, kCaptionCount> captions;
};

// The Chinese texts for language 1, the English ones for any other value.
[[nodiscard]] const LanguageTexts& TextsFor(int language);

// Column 8 in English reads "Host Name" when the list is made and "HostName"
// after a switch of language.
inline constexpr int kHostNameColumn = 8;
inline constexpr std::string_view kHostNameAtStartup = "Host Name";

// The language box's caption, set at start-up and after every switch.
inline constexpr std::string_view kLanguageBoxCaption = "Chinese";

// The widths the columns are made with, in pixels; a switch of language keeps
// whatever widths the operator has dragged them to since.
inline constexpr std::array<int, kColumnCount> kColumnWidths = { 50, 130, 100, 100, 120, 150, 50, 140, 120 };

} // namespace quellis::app
