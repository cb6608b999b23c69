#pragma once

#include "controls/hyper_link.h"
#include "platform/ui/dialog.h"
#include "platform/version/version_record.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace quellis::app
{

class CQuellisDlg;

// The copyright line shown when the language box of the side panel is not
// ticked; the Chinese one is the template's.
inline constexpr std::string_view kEnglishCopyright = "Copyright (C) 2026 the Quellis developers. All rights reserved.";

// "Quellis a.b.c.d" from the product version of a version record (not the
// file version: the two may differ).
[[nodiscard]] std::string AboutVersionText(const version::FixedFileInfo& info);

// The name-and-version text of a program file; nothing when the file has no
// version record.
[[nodiscard]] std::optional<std::string> AboutVersionTextOf(const std::filesystem::path& file);

// The About box: icon, name and version, copyright, the maker's web address as
// a link. Opened modally from the main dialog's system menu.
class CAboutDlg : public ui::Dialog
{
    Q_OBJECT

public:
    // The main dialog's language box chooses the copyright line; without a
    // main dialog the English one is shown.
    explicit CAboutDlg(CQuellisDlg* parent);

protected:
    bool OnInitDialog() override;
    // The program file whose version record is shown: the running program's
    // own image, whatever has become of its file on disk since it started.
    [[nodiscard]] virtual std::filesystem::path ProgramFile() const;

private:
    CQuellisDlg* parent_;
    controls::CHyperLink link_;
};

} // namespace quellis::app
