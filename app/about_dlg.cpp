#include "app/about_dlg.h"

#include "app/quellis_dlg.h"
#include "platform/version/version_info.h"
#include "resources/templates/about_dialog_ids.h"
#include "resources/templates/dialog_templates.h"

#include <QLabel>

#include <cstdio>
#include <vector>

namespace quellis::app
{

std::string AboutVersionText(const version::FixedFileInfo& info)
{
    // Each version word holds two 16-bit parts, the first in the high half.
    char text[64];
    std::snprintf(text,
        sizeof text,
        "Quellis %d.%d.%d.%d",
        static_cast<int>(info.productVersionMS >> 16),
        static_cast<int>(info.productVersionMS & 0xFFFF),
        static_cast<int>(info.productVersionLS >> 16),
        static_cast<int>(info.productVersionLS & 0xFFFF));
    return text;
}

std::optional<std::string> AboutVersionTextOf(const std::filesystem::path& file)
{
    const std::size_t size = version::VersionInfoSize(file);
    if (size == 0)
    {
        return std::nullopt;
    }
    std::vector<std::uint8_t> block(size);
    if (!version::ReadVersionInfo(file, block))
    {
        return std::nullopt;
    }
    const auto info = version::QueryRootBlock(block);
    if (!info)
    {
        return std::nullopt;
    }
    return AboutVersionText(*info);
}

CAboutDlg::CAboutDlg(CQuellisDlg* parent)
    : ui::Dialog(resources::kAboutDialog, parent)
    , parent_(parent)
{
}

std::filesystem::path CAboutDlg::ProgramFile() const
{
    return version::RunningProgramImage();
}

bool CAboutDlg::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    // The link opens the text of its static, the maker's web address.
    link_.Attach(qobject_cast<QLabel*>(Item(resources::kIdAboutLink)));
    if (parent_ == nullptr || !parent_->LanguageBoxTicked())
    {
        SetItemText(resources::kIdAboutCopyright, kEnglishCopyright);
    }
    // Without a program file or a version record the name stays as the
    // template has it; nothing is shown to the operator.
    const std::filesystem::path program = ProgramFile();
    if (program.empty())
    {
        return true;
    }
    if (const auto text = AboutVersionTextOf(program))
    {
        SetItemText(resources::kIdAboutVersion, *text);
    }
    return true;
}

} // namespace quellis::app
