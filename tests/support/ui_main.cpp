#include "platform/ui/dialog.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

// Tests of windows run on Qt's offscreen platform: real widgets, no display.
int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    quellis::ui::InitDialogFramework();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
