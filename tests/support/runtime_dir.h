#pragma once

#include "tests/support/temp_dir.h"

// A runtime directory of this test process's own (QUELLIS_RUNTIME_DIR, see
// platform/instance/runtime_directory.h), set for the object's life: its
// tests, and the quellis processes they start with ChildEnvironment, get an
// instance lock and window classes that neither a quellis running on the
// machine nor another test process shares. The test mains make one.

namespace quellis::test
{

class PrivateRuntimeDir
{
public:
    PrivateRuntimeDir();
    ~PrivateRuntimeDir();
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

private:
    TempDir dir_;
};

} // namespace quellis::test
