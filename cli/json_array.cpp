#include "cli/json_array.h"

#include <memory>
#include <string>

namespace quellis::cli
{

std::optional<Json::Value> ReadJsonArray(std::string_view text)
{
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 64;
    Json::Value root;
    std::string errors;
    try
    {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) || !root.isArray())
        {
            return std::nullopt;
        }
    }
    catch (const Json::Exception&)
    {
        return std::nullopt;
    }
    return root;
}

} // namespace quellis::cli
