#pragma once

#include <json/json.h>

#include <string>
#include <string_view>

// One way into jsoncpp for the farm's readers. jsoncpp reports some input
// (nesting deeper than its stack limit) by throwing; here that becomes a
// failed parse like any other, so no exception leaves a reader and a hostile
// request cannot end the thread that reads it.

namespace quellis::sim
{

[[nodiscard]] bool ReadJson(
    std::string_view text, const Json::CharReaderBuilder& builder, Json::Value* root, std::string* errors = nullptr);

} // namespace quellis::sim
