// The reference of the start-up benchmark: the least a Qt Widgets dialog
// program does to show a window. It writes the same line as quellis's trace
// when its window is first painted, and then runs until it is ended.
#include <QApplication>
#include <QDialog>
#include <QPushButton>

#include <cstdio>

namespace
{

class EmptyDialog : public QDialog
{
protected:
    void paintEvent(QPaintEvent* event) override
    {
        QDialog::paintEvent(event);
        if (!painted_)
        {
            painted_ = true;
            std::fputs("main window shown\n", stderr);
            std::fflush(stderr);
        }
    }

private:
    bool painted_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    EmptyDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Reference"));
    dialog.resize(1027, 583);
    auto* button = new QPushButton(QStringLiteral("OK"), &dialog);
    button->move(20, 20);
    return dialog.exec();
}
