#include "commands/dev_set_dlg.h"

#include "platform/ui/ip_address.h"
#include "resources/templates/dev_set_dialog_ids.h"
#include "resources/templates/dialog_templates.h"

#include <QLineEdit>

namespace quellis::commands
{

namespace
{

using namespace quellis::resources;

constexpr int kAddressControls[] = { kIdDevSetAddress, kIdDevSetMask, kIdDevSetGateway, kIdDevSetDns };
// The user name and the password fill 32-byte fields.
constexpr int kCredentialLimit = 32;

} // namespace

CDlgDevSet::CDlgDevSet(QWidget* parent)
    : ui::Dialog(kDevSetDialog, parent)
{
}

bool CDlgDevSet::OnInitDialog()
{
    ui::Dialog::OnInitDialog();
    IpAddress(kIdDevSetAddress)->SetAddress(fields.address);
    IpAddress(kIdDevSetMask)->SetAddress(fields.mask);
    IpAddress(kIdDevSetGateway)->SetAddress(fields.gateway);
    SetItemText(kIdDevSetMac, fields.mac);
    IpAddress(kIdDevSetDns)->SetAddress(kDefaultDnsServer);
    for (const int id : { kIdDevSetUserName, kIdDevSetPassword })
    {
        if (auto* edit = qobject_cast<QLineEdit*>(Item(id)))
        {
            edit->setMaxLength(kCredentialLimit);
        }
    }
    CheckButton(kIdDevSetStatic, ui::kChecked);
    CheckButton(kIdDevSetDhcp, ui::kUnchecked);
    return true;
}

void CDlgDevSet::EnableAddressControls(bool enable)
{
    for (const int id : kAddressControls)
    {
        EnableItem(id, enable);
    }
}

void CDlgDevSet::OnCommand(int id, int code)
{
    if (code == ui::kBnClicked && id == kIdDevSetStatic)
    {
        EnableAddressControls(true);
        fields.staticAddress = 1;
        return;
    }
    if (code == ui::kBnClicked && id == kIdDevSetDhcp)
    {
        EnableAddressControls(false);
        fields.staticAddress = 0;
        return;
    }
    ui::Dialog::OnCommand(id, code);
}

void CDlgDevSet::OnOK()
{
    fields.userName = ItemText(kIdDevSetUserName);
    fields.password = ItemText(kIdDevSetPassword);
    // Blank fields read as 0.
    [[maybe_unused]] int filled = IpAddress(kIdDevSetAddress)->GetAddress(fields.address);
    filled = IpAddress(kIdDevSetMask)->GetAddress(fields.mask);
    filled = IpAddress(kIdDevSetGateway)->GetAddress(fields.gateway);
    filled = IpAddress(kIdDevSetDns)->GetAddress(fields.dns);
    fields.permanent = IsButtonChecked(kIdDevSetPermanent) == ui::kChecked ? 1 : 0;
    ui::Dialog::OnOK();
}

DialogResult DevSetDialogs::Run(DevSetFields& fields)
{
    CDlgDevSet dialog(owner_);
    dialog.fields = fields;
    if (dialog.DoModal() != ui::kIdOk)
    {
        return DialogResult::Cancelled;
    }
    fields = dialog.fields;
    return DialogResult::Ok;
}

} // namespace quellis::commands
