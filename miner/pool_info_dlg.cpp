#include "miner/pool_info_dlg.h"

#include "platform/ui/message_box.h"
#include "resources/templates/dialog_templates.h"
#include "resources/templates/pool_info_ids.h"

namespace quellis::miner
{

namespace
{

using namespace quellis::resources;

constexpr std::string_view kTemplateMissing = "请检查模板文件cgminer.conf.xtc是否存在";
constexpr std::string_view kGenerated = "生成成功！";

} // namespace

CDlgPoolInfo::CDlgPoolInfo(std::filesystem::path configPath, QWidget* parent)
    : ui::Dialog(kPoolInfoDialog, parent)
    , configPath_(std::move(configPath))
{
}

bool CDlgPoolInfo::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    CheckButton(kIdPoolOnTop, ui::kChecked);
    const PoolRowSettings rows = ReadPoolSettings(configPath_);
    for (std::size_t n = 0; n < rows.size(); ++n)
    {
        CheckButton(kIdPoolEnable[n], ui::kChecked);
        SetItemText(kIdPoolUrl[n], rows[n].url);
        SetItemText(kIdPoolWorker[n], rows[n].worker);
        SetItemText(kIdPoolPassword[n], rows[n].password);
        const int radio = rows[n].type == kSuffixIp ? kIdPoolSuffixIp[n]
            : rows[n].type == kSuffixExistingWorker ? kIdPoolSuffixExisting[n]
                                                    : kIdPoolSuffixNone[n];
        CheckButton(radio, ui::kChecked);
    }
    return true;
}

void CDlgPoolInfo::OnCommand(int id, int code)
{
    if (id == kIdGeneratePoolFiles && code == ui::kBnClicked)
    {
        GeneratePoolFiles();
        return;
    }
    ui::Dialog::OnCommand(id, code);
}

void CDlgPoolInfo::OnOK()
{
    PoolRowSettings rows;
    for (std::size_t n = 0; n < slots_.size(); ++n)
    {
        PoolSlot& slot = slots_[n];
        slot.enabled = IsButtonChecked(kIdPoolEnable[n]) == ui::kChecked;
        slot.url = ItemText(kIdPoolUrl[n]);
        slot.worker = ItemText(kIdPoolWorker[n]);
        slot.password = ItemText(kIdPoolPassword[n]);
        // No choice at all counts as "none".
        slot.suffixMode = IsButtonChecked(kIdPoolSuffixIp[n]) == ui::kChecked ? kSuffixIp
            : IsButtonChecked(kIdPoolSuffixExisting[n]) == ui::kChecked       ? kSuffixExistingWorker
                                                                              : kSuffixNone;
        rows[n] = { slot.url, slot.worker, slot.password, slot.suffixMode };
    }
    WritePoolSettings(rows, configPath_);
    ui::Dialog::OnOK();
}

void CDlgPoolInfo::GeneratePoolFiles()
{
    // The files go to the current directory, as the template comes from it.
    if (miner::GeneratePoolFiles({}) == PoolFilesResult::TemplateMissing)
    {
        ui::ShowMessageBox(this, kTemplateMissing);
        return;
    }
    ui::ShowMessageBox(this, kGenerated);
}

} // namespace quellis::miner
