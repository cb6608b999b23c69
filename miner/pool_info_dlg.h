#pragma once

#include "miner/pool_config.h"
#include "platform/ui/dialog.h"

#include <filesystem>

namespace quellis::miner
{

// The pool settings dialog (template 137): four pool rows with their suffix
// choice, kept in [POOLS] of config.ini. After OK the slots hold what the
// rows held; the enabled flags are not stored and every row starts ticked.
// The hidden button 3 writes the 120 pool files from the template.
class CDlgPoolInfo : public ui::Dialog
{
    Q_OBJECT

public:
    CDlgPoolInfo(std::filesystem::path configPath, QWidget* parent);

    // Valid after DoModal returned OK.
    [[nodiscard]] const PoolSlots& Slots() const { return slots_; }

protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    void OnOK() override;

private:
    void GeneratePoolFiles();

    const std::filesystem::path configPath_;
    PoolSlots slots_;
};

} // namespace quellis::miner
