#pragma once

// The system's font configuration (fontconfig's files and caches: several
// milliseconds of reading and parsing) loaded on a thread of its own from the
// start of the process, while Qt itself starts, instead of on the UI thread
// when the first window measures its font. Nothing else changes: Qt finds the
// configuration loaded and uses it. Both calls on the UI thread.

namespace quellis::ui
{

// Before the QApplication is made.
void StartLoadingFontConfiguration();
// Before the first font is measured (the dialog framework calls it); at once
// when nothing is loading.
void WaitForFontConfiguration();

} // namespace quellis::ui
