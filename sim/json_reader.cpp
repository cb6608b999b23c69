#include "sim/json_reader.h"

#include <memory>

namespace quellis::sim
{

bool ReadJson(std::string_view text, const Json::CharReaderBuilder& builder, Json::Value* root, std::string* errors)
{
    std::string scratch;
    try
    {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        return reader->parse(text.data(), text.data() + text.size(), root, errors != nullptr ? errors : &scratch);
    }
    catch (const Json::Exception& exception)
    {
        if (errors != nullptr)
        {
            *errors = exception.what();
        }
        return false;
    }
}

} // namespace quellis::sim
