#include "controls/hyper_link.h"

#include "platform/text/codepage.h"
#include "platform/ui/message_box.h"

#include <QEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>

namespace quellis::controls
{

namespace
{

// The texts are read into fixed buffers of 32 and 1024 bytes with their
// terminator: at most 31 and 1023 bytes of code page 936, never half a
// double-byte character.
constexpr std::size_t kMaxDisplayBytes = 31;
constexpr std::size_t kMaxTargetBytes = 1023;

const QColor kLinkColour(0, 0, 255);
const QColor kHoverColour(255, 0, 0);

std::string CutToBytes(std::string_view utf8, std::size_t maxBytes)
{
    const std::string narrow = text::Utf8ToCp936(utf8);
    return text::Cp936ToUtf8(text::Cp936Prefix(narrow, maxBytes));
}

} // namespace

CHyperLink::~CHyperLink()
{
    Detach();
}

bool CHyperLink::Attach(QLabel* label)
{
    if (label == nullptr || window_ != nullptr)
    {
        return false;
    }
    // Mouse moves without a button pressed, as the notify style gives them.
    previousMouseTracking_ = label->hasMouseTracking();
    label->setMouseTracking(true);
    label->installEventFilter(this);
    const QWidget* parent = label->parentWidget();
    font_ = parent != nullptr ? parent->font() : label->font();
    font_.setUnderline(true);
    hadOwnCursor_ = label->testAttribute(Qt::WA_SetCursor);
    previousCursor_ = label->cursor();
    label->setCursor(Qt::PointingHandCursor);
    // ~QWidget announces the label's end before it tears anything down, so
    // the link lets go while the label is still a whole widget.
    destroyedConnection_ = connect(label, &QObject::destroyed, this, &CHyperLink::OnWindowDestroyed);
    window_ = label;
    widget_ = label;
    window_->update();
    return true;
}

QLabel* CHyperLink::Detach()
{
    QLabel* label = window_;
    if (label != nullptr)
    {
        disconnect(destroyedConnection_);
        label->removeEventFilter(this);
        label->setMouseTracking(previousMouseTracking_);
        if (hadOwnCursor_)
        {
            label->setCursor(previousCursor_);
        }
        else
        {
            label->unsetCursor();
        }
        if (QWidget::mouseGrabber() == label)
        {
            label->releaseMouse();
        }
        label->update();
    }
    Forget();
    return label;
}

void CHyperLink::Forget()
{
    hover_ = false;
    window_ = nullptr;
    widget_ = nullptr;
    font_ = QFont();
    displayText_.clear();
    linkTarget_.clear();
}

void CHyperLink::SetDisplayText(std::string_view text)
{
    displayText_ = CutToBytes(text, kMaxDisplayBytes);
    if (window_ != nullptr)
    {
        window_->update();
    }
}

void CHyperLink::SetLinkTarget(std::string_view target)
{
    linkTarget_ = CutToBytes(target, kMaxTargetBytes);
}

bool CHyperLink::IsHovering() const
{
    // Another widget that takes the mouse ends the hover, as losing the
    // capture does; Qt sends no event for that, so it is read here.
    return hover_ && widget_ != nullptr && QWidget::mouseGrabber() == widget_;
}

std::string CHyperLink::WindowText() const
{
    return CutToBytes(window_->text().toStdString(), kMaxDisplayBytes);
}

bool CHyperLink::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != widget_ || widget_ == nullptr)
    {
        return QObject::eventFilter(watched, event);
    }
    switch (event->type())
    {
    case QEvent::Paint:
        OnPaint();
        return true;
    case QEvent::MouseMove:
        OnMouseMove(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        return true;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        return static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
    case QEvent::MouseButtonRelease:
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
        {
            return false;
        }
        // Whether anything opened it is not reported.
        ui::ShellOpen(linkTarget_.empty() ? WindowText() : linkTarget_);
        return true;
    case QEvent::Hide:
    case QEvent::WindowDeactivate:
        // A hidden or inactive window does not keep the mouse.
        OnCaptureLost();
        return false;
    default:
        return false;
    }
}

void CHyperLink::OnPaint()
{
    const std::string text = displayText_.empty() ? WindowText() : displayText_;
    QPainter painter(window_);
    painter.setFont(font_);
    painter.setPen(IsHovering() ? kHoverColour : kLinkColour);
    // No background is filled: the dialog shows through.
    painter.drawText(
        window_->rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, QString::fromStdString(text));
}

void CHyperLink::OnMouseMove(const QPoint& globalPos)
{
    if (!IsHovering())
    {
        // Holding the mouse brings the move that leaves the label here too.
        window_->grabMouse();
        hover_ = true;
        window_->update();
        return;
    }
    // The window rectangle with its right and bottom edges, as the system's
    // window rectangle (one past the last pixel) counts them.
    const QPoint topLeft = window_->mapToGlobal(QPoint(0, 0));
    const bool inside = globalPos.x() >= topLeft.x() && globalPos.x() <= topLeft.x() + window_->width()
        && globalPos.y() >= topLeft.y() && globalPos.y() <= topLeft.y() + window_->height();
    if (inside)
    {
        return;
    }
    hover_ = false;
    window_->releaseMouse();
    window_->update();
}

void CHyperLink::OnCaptureLost()
{
    // No repaint: the next paint draws it blue.
    if (IsHovering())
    {
        widget_->releaseMouse();
    }
    hover_ = false;
}

void CHyperLink::OnWindowDestroyed()
{
    // Called from inside ~QWidget: the label is a QWidget still, but no
    // longer a QLabel, and it must not be scheduled for painting again. The
    // mouse goes back, the filter goes with the label.
    if (QWidget::mouseGrabber() == widget_)
    {
        widget_->releaseMouse();
    }
    Forget();
}

} // namespace quellis::controls
