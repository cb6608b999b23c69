#include "tests/support/child_environment.h"

#include "platform/instance/runtime_directory.h"

#include <string_view>

extern char** environ;

namespace quellis::test
{

ChildEnvironment::ChildEnvironment(std::initializer_list<std::string> extra)
{
    for (char** entry = environ; *entry != nullptr; ++entry)
    {
        const std::string_view variable(*entry);
        if (!variable.starts_with("QT_QPA_PLATFORM=") && !variable.starts_with("QUELLIS_"))
        {
            variables_.emplace_back(variable);
        }
    }
    variables_.emplace_back("QT_QPA_PLATFORM=offscreen");
    // The alarm it plays at start-up: timed, but silent.
    variables_.emplace_back("QUELLIS_AUDIO=null");
    // The child shares this process's instance lock and window classes, and
    // so those of the tests that start it.
    if (const auto runtime = instance::PrivateRuntimeDirectory())
    {
        variables_.push_back(std::string(instance::kRuntimeDirectoryVariable) + "=" + runtime->string());
    }
    variables_.insert(variables_.end(), extra.begin(), extra.end());
}

void ChildEnvironment::Add(std::string variable)
{
    variables_.push_back(std::move(variable));
}

char** ChildEnvironment::Pointers()
{
    pointers_.clear();
    for (std::string& variable : variables_)
    {
        pointers_.push_back(variable.data());
    }
    pointers_.push_back(nullptr);
    return pointers_.data();
}

} // namespace quellis::test
