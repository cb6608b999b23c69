#include "platform/ui/application.h"

#include "platform/ui/window_call.h"

#include <QFont>

namespace quellis::ui
{
namespace
{

// The input event whose delivery is under way on this thread and the object
// it was sent to. A handler may send other events while one is delivered, so
// each delivery puts back the one it interrupted.
struct Delivery
{
    const QObject* receiver = nullptr;
    const QEvent* event = nullptr;
};
thread_local Delivery current;

[[nodiscard]] bool IsTracked(const QEvent* event)
{
    return event->type() == QEvent::KeyPress || event->type() == QEvent::MouseButtonRelease;
}

void InitDialogFonts()
{
    // The dialog fonts of the templates, on a system that has neither: a
    // CJK-capable sans serif keeps the Chinese captions readable.
    const QStringList substitutes
        = { QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"), QStringLiteral("DejaVu Sans") };
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg"), substitutes);
    QFont::insertSubstitutions(QStringLiteral("MS Shell Dlg 2"), substitutes);
    QFont::insertSubstitutions(QStringLiteral("宋体"), substitutes);
    QFont::insertSubstitutions(QStringLiteral("SimSun"), substitutes);
}

} // namespace

Application::Application(int& argc, char** argv)
    : QApplication(argc, argv)
{
    InitWindowCalls();
    InitDialogFonts();
}

bool Application::notify(QObject* receiver, QEvent* event)
{
    if (receiver == nullptr || event == nullptr || !IsTracked(event))
    {
        return QApplication::notify(receiver, event);
    }
    // Every send of an event comes through here; Qt's passing of an ignored
    // event to the parents happens inside QApplication::notify and does not.
    const Delivery interrupted = current;
    current = { receiver, event };
    const bool result = QApplication::notify(receiver, event);
    current = interrupted;
    return result;
}

bool IsFirstReceiver(const QObject* object, const QEvent* event)
{
    // Qt passes a mouse event on as a copy, which was never sent: it matches
    // no delivery. A key event is passed on as itself, to another object.
    return current.event == event && current.receiver == object;
}

} // namespace quellis::ui
