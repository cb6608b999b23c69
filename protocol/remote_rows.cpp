#include "protocol/remote_rows.h"

#include "platform/net/ipv4.h"

#include <algorithm>
#include <cctype>

namespace quellis::protocol
{

namespace
{

std::string UpperMac(std::string_view mac)
{
    std::string upper(mac);
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return upper;
}

} // namespace

void RemoteRows::Begin(std::vector<AddressRange> ranges, std::optional<LocalSegment> own, int rate)
{
    std::lock_guard lock(mutex_);
    ranges_ = std::move(ranges);
    own_ = own;
    rate_ = rate;
    byMac_.clear();
}

const AddressRange* RemoteRows::RangeOf(std::uint32_t address) const
{
    if (own_ && own_->Contains(address))
    {
        return nullptr;
    }
    const auto range = std::find_if(
        ranges_.begin(), ranges_.end(), [&](const AddressRange& candidate) { return candidate.Contains(address); });
    return range == ranges_.end() ? nullptr : &*range;
}

bool RemoteRows::Note(std::string_view ipText, std::string_view mac)
{
    std::lock_guard lock(mutex_);
    if (ranges_.empty() || mac.empty())
    {
        return false;
    }
    const auto address = net::ParseIpv4(ipText);
    if (!address || RangeOf(*address) == nullptr)
    {
        return false;
    }
    byMac_.insert_or_assign(UpperMac(mac), *address);
    return true;
}

std::optional<std::string> RemoteRows::SegmentOf(std::string_view ipText) const
{
    std::lock_guard lock(mutex_);
    const auto address = net::ParseIpv4(ipText);
    const AddressRange* range = address ? RangeOf(*address) : nullptr;
    if (range == nullptr)
    {
        return std::nullopt;
    }
    return range->text;
}

std::optional<std::uint32_t> RemoteRows::AddressOf(std::string_view mac) const
{
    std::lock_guard lock(mutex_);
    if (byMac_.empty())
    {
        return std::nullopt;
    }
    const auto entry = byMac_.find(UpperMac(mac));
    if (entry == byMac_.end())
    {
        return std::nullopt;
    }
    return entry->second;
}

std::vector<AddressRange> RemoteRows::Addresses() const
{
    std::lock_guard lock(mutex_);
    std::vector<AddressRange> addresses;
    addresses.reserve(byMac_.size());
    for (const auto& [mac, address] : byMac_)
    {
        addresses.push_back(AddressRange { address, address, {} });
    }
    return addresses;
}

std::size_t RemoteRows::Count() const
{
    std::lock_guard lock(mutex_);
    return byMac_.size();
}

int RemoteRows::Rate() const
{
    std::lock_guard lock(mutex_);
    return rate_;
}

} // namespace quellis::protocol
