#include "tests/support/runtime_dir.h"

#include "platform/instance/runtime_directory.h"

#include <cstdlib>

namespace quellis::test
{

PrivateRuntimeDir::PrivateRuntimeDir()
{
    setenv(instance::kRuntimeDirectoryVariable, dir_.Path().c_str(), 1);
}

PrivateRuntimeDir::~PrivateRuntimeDir()
{
    unsetenv(instance::kRuntimeDirectoryVariable);
}

} // namespace quellis::test
