#include "platform/ui/font_config.h"

#include <fontconfig/fontconfig.h>

#include <future>

namespace quellis::ui
{

namespace
{

// The loading thread's result. A program that ends before waiting (a second
// instance that only raised the first) waits here as the future goes.
std::future<void>& Loading()
{
    static std::future<void> loading;
    return loading;
}

} // namespace

void StartLoadingFontConfiguration()
{
    if (!Loading().valid())
    {
        // fontconfig makes its configuration once however many threads ask,
        // so a font used before the wait is still right, only not sooner.
        Loading() = std::async(std::launch::async, [] { [[maybe_unused]] const FcBool loaded = FcInit(); });
    }
}

void WaitForFontConfiguration()
{
    if (Loading().valid())
    {
        Loading().get();
    }
}

} // namespace quellis::ui
