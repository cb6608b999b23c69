#pragma once

#include "commands/network_settings.h"
#include "platform/ui/dialog.h"

class QWidget;

// The network settings dialog (template 129): a machine's address, mask,
// gateway and DNS server, or address by DHCP, for the row it was opened for.

namespace quellis::commands
{

class CDlgDevSet : public ui::Dialog
{
    Q_OBJECT

public:
    explicit CDlgDevSet(QWidget* parent = nullptr);

    // In: the row's values (the DNS field is not read: the dialog proposes a
    // public resolver). Out, after OK: what the operator confirmed.
    DevSetFields fields;

protected:
    bool OnInitDialog() override;
    void OnCommand(int id, int code) override;
    void OnOK() override;

private:
    void EnableAddressControls(bool enable);
};

// The settings dialog as the commands controller opens it: modal over the
// main window.
class DevSetDialogs : public NetworkSettingsDialog
{
public:
    explicit DevSetDialogs(QWidget* owner)
        : owner_(owner)
    {
    }
    DialogResult Run(DevSetFields& fields) override;

private:
    QWidget* owner_;
};

// The DNS server the dialog proposes.
inline constexpr std::uint32_t kDefaultDnsServer = 0x08080808; // 8.8.8.8

} // namespace quellis::commands
