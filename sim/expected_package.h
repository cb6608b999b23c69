#pragma once

#include <cstdint>
#include <span>
#include <string>

// The package the farm expects the tool to serve, mapped read-only once and
// shared by every download: each received chunk is compared with the bytes at
// its offset, which is exact and cheaper than hashing every stream.

namespace quellis::sim
{

class ExpectedPackage
{
public:
    ExpectedPackage() = default;
    ~ExpectedPackage();
    ExpectedPackage(const ExpectedPackage&) = delete;
    ExpectedPackage& operator=(const ExpectedPackage&) = delete;

    [[nodiscard]] bool Open(const std::string& path, std::string* error);
    [[nodiscard]] bool IsOpen() const { return open_; }
    [[nodiscard]] std::span<const std::uint8_t> Bytes() const { return { data_, size_ }; }

    // Whether `chunk` is what the package holds at `offset`.
    [[nodiscard]] bool Matches(std::uint64_t offset, std::span<const std::uint8_t> chunk) const;

private:
    bool open_ = false;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    void* mapping_ = nullptr;
};

} // namespace quellis::sim
