#pragma once

#include <json/json.h>

#include <optional>
#include <string_view>

namespace quellis::cli
{

// The text of a machine file or list as a JSON array; nullopt for text that
// is not one. Nesting past 64 levels fails like any other malformed text
// (jsoncpp throws for it; here nothing is thrown).
std::optional<Json::Value> ReadJsonArray(std::string_view text);

} // namespace quellis::cli
