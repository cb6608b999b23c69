#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A machine's network settings as the settings dialog edits them, the
// request that carries them, the line changeMac.txt keeps of each one, and
// the two numbers a companion program's window is told. Also the small
// interfaces through which the commands controller reaches that dialog and
// that window, so that it stays free of any window code.

namespace quellis::commands
{

// The companion program's window, found by its class, and the message it is
// posted after every setting sent (wParam and lParam: CompanionNumbers).
inline constexpr std::string_view kCompanionWindowClass = "TovenkIPSet";
inline constexpr std::uint32_t kWmCompanionSetting = 0x0400 + 1001;

// The fields of the settings dialog. Addresses are u32 in host order.
struct DevSetFields
{
    std::string mac; // UTF-8, as the list shows it
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
    std::uint32_t gateway = 0;
    std::uint32_t dns = 0;
    int staticAddress = 1; // 1 Static, 0 DHCP
    int permanent = 0;
    std::string userName; // at most 32 characters (the dialog's boxes take no more)
    std::string password;
};

// The dialog opened for one row, from its address, mask, gateway and MAC
// texts. A text that is not a dotted address leaves its field 0.
[[nodiscard]] DevSetFields FieldsFromRow(
    std::string_view ip, std::string_view mask, std::string_view gateway, std::string_view mac);

// The PKT_DEV_SETTING datagram (256 bytes) of confirmed fields: with DHCP
// the address, mask and gateway stay zero; the DNS server is sent in both
// modes; the password and the permanent flag are not sent.
[[nodiscard]] std::vector<std::uint8_t> BuildSettingRequest(const DevSetFields& fields);

// The MAC text split as the companion reads it: the hexadecimal number of
// its first four characters, and that of the rest (each read up to the first
// character that is not a hexadecimal digit).
struct CompanionNumbers
{
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};
[[nodiscard]] CompanionNumbers SplitMacForCompanion(std::string_view mac);

// Appends the MAC (code page 936) and CR LF to changeMac.txt; false when the
// file cannot be opened or written.
bool AppendChangeMac(const std::filesystem::path& file, std::string_view mac);

// ---- What the window side gives the controller ----

enum class DialogResult
{
    Ok,
    Cancelled,
    NotCreated,
};

// Runs the settings dialog modally on the UI thread; on Ok the fields hold
// what the operator confirmed.
class NetworkSettingsDialog
{
public:
    virtual ~NetworkSettingsDialog() = default;
    virtual DialogResult Run(DevSetFields& fields) = 0;
};

// Top-level windows of other programs, by their window class.
class CompanionWindows
{
public:
    virtual ~CompanionWindows() = default;
    // Posts the message to the window of the class; false when none runs.
    virtual bool PostToClass(
        std::string_view className, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
        = 0;
};

} // namespace quellis::commands
