#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class QWidget;

// Message boxes, the open-file dialog and the shell's "open" go through hooks
// that tests replace, so that a test reads what was shown and gives the
// answer. Each may be called from any thread: the box is shown by the UI
// thread and the caller waits until it is closed.

namespace quellis::ui
{

// Buttons and icons, as the system's message box types.
inline constexpr unsigned kMbOk = 0x00;
inline constexpr unsigned kMbOkCancel = 0x01;
inline constexpr unsigned kMbYesNo = 0x04;
inline constexpr unsigned kMbIconError = 0x10;
inline constexpr unsigned kMbIconQuestion = 0x20;
inline constexpr unsigned kMbIconWarning = 0x30;
inline constexpr unsigned kMbIconInformation = 0x40;

// Answers.
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerCancel = 2;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

struct MessageBoxRequest
{
    std::string text; // UTF-8
    std::string caption; // the application name when none is given
    unsigned type = kMbOk;
    QWidget* owner = nullptr;
};

using MessageBoxHook = std::function<int(const MessageBoxRequest&)>;

// An empty hook restores the real message box.
void SetMessageBoxHook(MessageBoxHook hook);
// Returns the answer (kAnswerOk ...); kAnswerCancel when the UI has gone.
int ShowMessageBox(QWidget* owner, std::string_view text, std::string_view caption = {}, unsigned type = kMbOk);

struct OpenFileRequest
{
    std::string title;
    // The filter in the classic form "description|patterns|description|patterns||".
    std::string filter;
    QWidget* owner = nullptr;
};

using OpenFileHook = std::function<std::optional<std::string>(const OpenFileRequest&)>;
void SetOpenFileHook(OpenFileHook hook);
// The chosen existing file's full path (UTF-8), or nothing when cancelled.
std::optional<std::string> ShowOpenFileDialog(QWidget* owner, std::string_view title, std::string_view filter);

using ShellOpenHook = std::function<bool(const std::string&)>;
void SetShellOpenHook(ShellOpenHook hook);
// Opens a text (a web address, a file) as the desktop does; false when nothing opened it.
bool ShellOpen(std::string_view target);

// The caption of boxes that give none: the executable's base name.
[[nodiscard]] std::string ApplicationName();

} // namespace quellis::ui
