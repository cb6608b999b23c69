#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

// The network lab for tests: a tool namespace and a farm namespace joined by a
// veth pair (tools/netlab), named after this process so that test processes
// run side by side. The first user brings it up; it is removed at exit.

namespace quellis::test
{

class NetLab
{
public:
    // The lab of this process, brought up on first use; nullptr when it cannot
    // be made (not root, no iproute2), with the reason in *why.
    static NetLab* Get(std::string* why);

    [[nodiscard]] const std::string& ToolNamespace() const { return tool_; }
    [[nodiscard]] const std::string& FarmNamespace() const { return farm_; }
    // A second farm's segment behind the farm side, which routes to it.
    [[nodiscard]] const std::string& RemoteNamespace() const { return remote_; }

    static constexpr const char* kToolAddress = "10.77.0.1";
    static constexpr const char* kFarmAddress = "10.77.0.2";
    // The first machine address of the farm range.
    static constexpr std::uint32_t kFirstMachine = 0x0A4D8001u; // 10.77.128.1
    // The first machine address of the remote farm's range.
    static constexpr std::uint32_t kFirstRemoteMachine = 0x0A4E8001u; // 10.78.128.1

    // Runs the rest of the calling thread's scope in a namespace: sockets
    // opened meanwhile belong to it. The thread's namespace is restored after.
    class Enter
    {
    public:
        explicit Enter(const std::string& ns);
        ~Enter();
        Enter(const Enter&) = delete;
        Enter& operator=(const Enter&) = delete;
        [[nodiscard]] bool Ok() const { return ok_; }

    private:
        int original_ = -1;
        bool ok_ = false;
    };

    ~NetLab();

private:
    NetLab() = default;
    std::string name_;
    std::string tool_;
    std::string farm_;
    std::string remote_;
};

// Runs a command line, returns its exit status.
int RunCommand(const std::string& commandLine);

} // namespace quellis::test

// Skips the test when the lab cannot be made, or fails it when the CI
// environment variable is set: there the network tests must run.
#define QUELLIS_REQUIRE_NETLAB(lab)                                                                                    \
    std::string netlabWhy;                                                                                             \
    quellis::test::NetLab* lab = quellis::test::NetLab::Get(&netlabWhy);                                               \
    if (lab == nullptr)                                                                                                \
    {                                                                                                                  \
        if (std::getenv("CI") != nullptr)                                                                              \
        {                                                                                                              \
            FAIL() << "network lab unavailable in CI: " << netlabWhy;                                                  \
        }                                                                                                              \
        GTEST_SKIP() << "network lab unavailable: " << netlabWhy;                                                      \
    }
