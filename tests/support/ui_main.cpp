#include "platform/ui/application.h"
#include "resources/templates/icon_source.h"
#include "tests/support/runtime_dir.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

// A window test may press a button that broadcasts (Search, a click on a
// row). Where the process may (root, as in CI), it gets a network namespace
// of its own with only loopback, so that nothing it sends reaches a real
// network; tests that need a network use the lab's namespaces explicitly.
void LeaveTheHostNetwork()
{
    if (geteuid() != 0 || std::getenv("QUELLIS_TESTS_KEEP_NETWORK") != nullptr)
    {
        return;
    }
    if (unshare(CLONE_NEWNET) != 0)
    {
        std::perror("unshare(CLONE_NEWNET)");
        return;
    }
    const int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq loopback {};
    std::strncpy(loopback.ifr_name, "lo", IFNAMSIZ - 1);
    if (control >= 0 && ioctl(control, SIOCGIFFLAGS, &loopback) == 0)
    {
        loopback.ifr_flags = static_cast<short>(loopback.ifr_flags | IFF_UP);
        ioctl(control, SIOCSIFFLAGS, &loopback);
    }
    if (control >= 0)
    {
        close(control);
    }
}

} // namespace

// Tests of windows run on Qt's offscreen platform: real widgets, no display.
int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    LeaveTheHostNetwork();
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The dialog plays its alarm at start-up: timed, but silent.
    setenv("QUELLIS_AUDIO", "null", 0);
    const quellis::test::PrivateRuntimeDir runtime;
    quellis::ui::Application application(argc, argv);
    quellis::resources::HandIconsToPlatform();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
