// The farm inventory on any file found where it should be: whatever the bytes,
// opening ends with a usable inventory (the file itself, or a new one with
// the old renamed aside), and the times an operator types are read safely.
#include "farm/inventory.h"
#include "farm/time_text.h"
#include "fuzz/fuzz_check.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace
{

const std::filesystem::path& Folder()
{
    static const std::filesystem::path folder = []
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "inventory-fuzz-XXXXXX").string();
        return std::filesystem::path(mkdtemp(pattern.data()) != nullptr ? pattern : "inventory-fuzz");
    }();
    return folder;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quellis::farm;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)ParseTimeText(bytes.substr(0, 64), 1'800'000'000);

    std::error_code error;
    std::filesystem::create_directories(Folder(), error);
    const auto path = Folder() / "inventory.db";
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    {
        Inventory reader;
        if (reader.OpenReadOnly(path, nullptr))
        {
            (void)reader.Machines();
            (void)reader.Changes(0, 100);
        }
    }
    Inventory inventory;
    const OpenResult opened = inventory.Open(path, {});
    Check(opened == OpenResult::Opened || opened == OpenResult::RenamedAside);
    const auto machines = inventory.Machines();
    (void)inventory.Changes(0, 100);
    InventoryBatch batch;
    batch.machines = { { "A1B2C3D4E5F6", "10.77.128.1", 1, 2, "v", "up", 2 } };
    batch.changes = { { 2, "A1B2C3D4E5F6", "down", "up", "" } };
    Check(inventory.Write(batch) == WriteResult::Written);
    inventory.Close();
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), error))
    {
        std::filesystem::remove(entry.path(), error);
    }
    return 0;
}
