#include "platform/ui/message_box.h"

#include "platform/ui/window_call.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QStringList>
#include <QUrl>

#include <mutex>

namespace quellis::ui
{

namespace
{

struct Hooks
{
    std::mutex mutex;
    MessageBoxHook messageBox;
    OpenFileHook openFile;
    ShellOpenHook shellOpen;
};

Hooks& TheHooks()
{
    static Hooks hooks;
    return hooks;
}

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

int RealMessageBox(const MessageBoxRequest& request)
{
    QMessageBox box(request.owner);
    box.setText(QString::fromStdString(request.text));
    box.setWindowTitle(QString::fromStdString(request.caption));
    switch (request.type & 0xF0)
    {
    case kMbIconError:
        box.setIcon(QMessageBox::Critical);
        break;
    case kMbIconQuestion:
        box.setIcon(QMessageBox::Question);
        break;
    case kMbIconWarning:
        box.setIcon(QMessageBox::Warning);
        break;
    case kMbIconInformation:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    switch (request.type & 0x0F)
    {
    case kMbYesNo:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case kMbOkCancel:
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    default:
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    switch (box.exec())
    {
    case QMessageBox::Yes:
        return kAnswerYes;
    case QMessageBox::No:
        return kAnswerNo;
    case QMessageBox::Cancel:
        return kAnswerCancel;
    default:
        return kAnswerOk;
    }
}

// "update files (*.tar.gz)|*.tar.gz;|All Files (*.*)|*.*||" as Qt's name filters.
QStringList NameFilters(std::string_view filter)
{
    const QStringList parts = FromUtf8(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2)
    {
        if (parts[i].isEmpty())
        {
            break;
        }
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        filters.push_back(parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')'));
    }
    return filters;
}

std::optional<std::string> RealOpenFile(const OpenFileRequest& request)
{
    QFileDialog dialog(request.owner, QString::fromStdString(request.title));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(NameFilters(request.filter));
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
    {
        return std::nullopt;
    }
    return QFileInfo(dialog.selectedFiles().front()).absoluteFilePath().toStdString();
}

} // namespace

void SetMessageBoxHook(MessageBoxHook hook)
{
    std::lock_guard lock(TheHooks().mutex);
    TheHooks().messageBox = std::move(hook);
}

int ShowMessageBox(QWidget* owner, std::string_view text, std::string_view caption, unsigned type)
{
    MessageBoxRequest request {
        std::string(text), caption.empty() ? ApplicationName() : std::string(caption), type, owner
    };
    MessageBoxHook hook;
    {
        std::lock_guard lock(TheHooks().mutex);
        hook = TheHooks().messageBox;
    }
    // The box belongs to the UI thread; a worker waits until it is closed.
    return WindowCall([&] { return hook ? hook(request) : RealMessageBox(request); }, kAnswerCancel);
}

void SetOpenFileHook(OpenFileHook hook)
{
    std::lock_guard lock(TheHooks().mutex);
    TheHooks().openFile = std::move(hook);
}

std::optional<std::string> ShowOpenFileDialog(QWidget* owner, std::string_view title, std::string_view filter)
{
    OpenFileRequest request { std::string(title), std::string(filter), owner };
    OpenFileHook hook;
    {
        std::lock_guard lock(TheHooks().mutex);
        hook = TheHooks().openFile;
    }
    return WindowCall([&] { return hook ? hook(request) : RealOpenFile(request); }, std::optional<std::string> {});
}

void SetShellOpenHook(ShellOpenHook hook)
{
    std::lock_guard lock(TheHooks().mutex);
    TheHooks().shellOpen = std::move(hook);
}

bool ShellOpen(std::string_view target)
{
    const std::string text(target);
    ShellOpenHook hook;
    {
        std::lock_guard lock(TheHooks().mutex);
        hook = TheHooks().shellOpen;
    }
    return WindowCall([&]
        { return hook ? hook(text) : QDesktopServices::openUrl(QUrl::fromUserInput(QString::fromStdString(text))); },
        false);
}

std::string ApplicationName()
{
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? std::string("Quellis") : QFileInfo(path).completeBaseName().toStdString();
}

} // namespace quellis::ui
