#pragma once

#include <initializer_list>
#include <string>
#include <vector>

// The environment of a quellis process that a test or benchmark starts:
// this process's own, without its Qt platform and QUELLIS_ settings, on Qt's
// offscreen platform with the silent null audio device, in this process's
// runtime directory if it names one (QUELLIS_RUNTIME_DIR), with `extra`
// ("NAME=value") added.

namespace quellis::test
{

class ChildEnvironment
{
public:
    explicit ChildEnvironment(std::initializer_list<std::string> extra = {});
    void Add(std::string variable);
    // NULL-terminated, for execve; valid while this object lives unchanged.
    [[nodiscard]] char** Pointers();

private:
    std::vector<std::string> variables_;
    std::vector<char*> pointers_;
};

} // namespace quellis::test
