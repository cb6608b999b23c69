#include "cli/arguments.h"

namespace quellis::cli
{

Arguments::Arguments(std::vector<std::string> args)
{
    bool positionalOnly = false;
    for (std::size_t i = 0; i < args.size(); ++i)
    {
        const std::string& arg = args[i];
        if (positionalOnly || !arg.starts_with("--") || arg == "--")
        {
            if (arg == "--" && !positionalOnly)
            {
                positionalOnly = true;
                continue;
            }
            items_.push_back({ "", arg });
            continue;
        }
        const std::size_t equals = arg.find('=');
        if (equals != std::string::npos)
        {
            items_.push_back({ arg.substr(2, equals - 2), arg.substr(equals + 1) });
            continue;
        }
        // The value follows unless the next argument is another option; a
        // flag takes none (Flag marks it so).
        Item item { arg.substr(2), std::nullopt };
        if (i + 1 < args.size() && !args[i + 1].starts_with("--"))
        {
            item.value = args[i + 1];
        }
        items_.push_back(std::move(item));
        if (items_.back().value)
        {
            ++i;
        }
    }
}

bool Arguments::Flag(std::string_view name)
{
    bool found = false;
    for (std::size_t i = 0; i < items_.size(); ++i)
    {
        Item& item = items_[i];
        if (item.name != name || item.taken)
        {
            continue;
        }
        item.taken = true;
        found = true;
        // A flag takes no value: one read after it is positional after all.
        // The value moves out before the insert, which may reallocate.
        if (item.value)
        {
            std::optional<std::string> value = std::move(item.value);
            item.value.reset();
            items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(i) + 1, Item { "", std::move(value) });
        }
    }
    return found;
}

std::optional<std::string> Arguments::Value(std::string_view name)
{
    const auto values = Values(name);
    return values.empty() ? std::nullopt : std::optional<std::string>(values.back());
}

std::vector<std::string> Arguments::Values(std::string_view name)
{
    std::vector<std::string> values;
    for (Item& item : items_)
    {
        if (item.name != name || item.taken)
        {
            continue;
        }
        item.taken = true;
        if (!item.value)
        {
            if (error_.empty())
            {
                error_ = "--" + item.name + " needs a value";
            }
            continue;
        }
        values.push_back(*item.value);
    }
    return values;
}

std::vector<std::string> Arguments::Positional()
{
    std::vector<std::string> values;
    for (Item& item : items_)
    {
        if (item.name.empty() && !item.taken)
        {
            item.taken = true;
            values.push_back(*item.value);
        }
    }
    return values;
}

std::string Arguments::Error() const
{
    if (!error_.empty())
    {
        return error_;
    }
    for (const Item& item : items_)
    {
        if (!item.taken)
        {
            return item.name.empty() ? "unexpected argument: " + *item.value : "unknown option: --" + item.name;
        }
    }
    return {};
}

} // namespace quellis::cli
