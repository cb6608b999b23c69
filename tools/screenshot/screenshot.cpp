// Renders the main window offscreen into a PNG, for the README and for a look
// at the layout without a display:
//   quellis-screenshot OUTPUT.png [CONFIG_DIR]
// The window runs with the config.ini of CONFIG_DIR (default: a fresh
// temporary directory, so the defaults apply).
#include "app/quellis_dlg.h"
#include "platform/ui/dialog.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: quellis-screenshot OUTPUT.png [CONFIG_DIR]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    quellis::ui::InitDialogFramework();

    QTemporaryDir scratch;
    const QString configDir = argc > 2 ? QString::fromLocal8Bit(argv[2]) : scratch.path();
    // The program writes its files into the current directory.
    QDir::setCurrent(configDir);
    quellis::app::CQuellisDlg dialog(std::filesystem::path(configDir.toStdString()) / "config.ini");
    const QString output = QString::fromLocal8Bit(argv[1]);
    bool saved = false;
    QTimer::singleShot(300, &dialog, [&] {
        saved = dialog.grab().save(output);
        dialog.EndDialog(quellis::ui::kIdCancel);
    });
    dialog.DoModal();
    if (!saved)
    {
        std::fprintf(stderr, "quellis-screenshot: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
