#include "platform/ui/dialog.h"

#include "platform/trace/trace.h"
#include "platform/ui/application.h"
#include "platform/ui/font_config.h"
#include "platform/ui/icons.h"
#include "platform/ui/ip_address.h"
#include "platform/ui/list_view.h"
#include "platform/ui/rich_edit.h"
#include "platform/ui/window_call.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFont>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTimer>

#include <functional>
#include <type_traits>

namespace quellis::ui
{

namespace
{

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// A posted window message.
class MessageEvent : public QEvent
{
public:
    MessageEvent(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
        : QEvent(kMessageEvent)
        , message(message)
        , wParam(wParam)
        , lParam(lParam)
    {
    }
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
};

QString FromUtf8(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The size of an icon static: the system icon size.
constexpr int kIconStaticSize = 32;

// A check box or radio button that reports a change of its check state made
// neither by a click nor by the program: an assistive technology's toggle
// action changes the state without a click, where the system's buttons treat
// that action as a click (BN_CLICKED follows).
template <typename Button> class ToggleReportingButton : public Button
{
public:
    ToggleReportingButton(const QString& caption, QWidget* parent)
        : Button(caption, parent)
    {
    }

    std::function<void()> onToggledWithoutClick;

protected:
    void nextCheckState() override
    {
        clicking_ = true;
        Button::nextCheckState();
        clicking_ = false;
    }

    void checkStateSet() override
    {
        Button::checkStateSet();
        // A radio button reports being chosen, not being left for another.
        const bool report = this->isChecked() || !std::is_same_v<Button, QRadioButton>;
        if (!clicking_ && report && onToggledWithoutClick)
        {
            onToggledWithoutClick();
        }
    }

private:
    bool clicking_ = false;
};

} // namespace

QFont DialogFont(const char* face, int pointSize)
{
    QFont font(QString::fromUtf8(face), pointSize);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

BaseUnits BaseUnitsOf(const QFont& font)
{
    // The average width of the 52 letters, rounded, and the character height.
    const QFontMetrics metrics(font);
    const int letters
        = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return BaseUnits { (letters / 26 + 1) / 2, metrics.height() };
}

Dialog::Dialog(const DialogTemplate& dialogTemplate, QWidget* parent)
    : QDialog(parent)
    , template_(dialogTemplate)
{
    WaitForFontConfiguration();
    const QFont font = DialogFont(template_.fontFace, template_.pointSize);
    setFont(font);
    units_ = BaseUnitsOf(font);
    // Without the framework's application object window calls do not run and
    // PreTranslateMessage sees no input.
    Q_ASSERT(qobject_cast<Application*>(QCoreApplication::instance()) != nullptr);
    setWindowTitle(QString::fromUtf8(template_.caption));
    if ((template_.style & kDialogChild) != 0)
    {
        setWindowFlags(Qt::Widget);
    }
    else
    {
        Qt::WindowFlags flags = Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;
        if ((template_.style & kDialogSysMenu) != 0)
        {
            flags |= Qt::WindowSystemMenuHint;
        }
        if ((template_.style & kDialogMinimizeBox) != 0)
        {
            flags |= Qt::WindowMinimizeButtonHint;
        }
        if ((template_.style & kDialogMaximizeBox) != 0)
        {
            flags |= Qt::WindowMaximizeButtonHint;
        }
        setWindowFlags(flags);
    }
    const QRect size = DialogUnitsToPixels(0, 0, template_.cx, template_.cy);
    resize(size.size());
    lastSize_ = size.size();
    if ((template_.style & kDialogResizable) == 0 && (template_.style & kDialogChild) == 0)
    {
        // No sizing border: it cannot be made smaller than designed, but
        // maximising (and the window manager's own resizing) may enlarge it.
        setMinimumSize(size.size());
    }
    setSizeGripEnabled(false);
}

Dialog::~Dialog()
{
    if (created_)
    {
        qApp->removeEventFilter(this);
    }
}

QRect Dialog::DialogUnitsToPixels(int x, int y, int cx, int cy) const
{
    return QRect(DialogUnitsToPixelsX(x, units_),
        DialogUnitsToPixelsY(y, units_),
        DialogUnitsToPixelsX(cx, units_),
        DialogUnitsToPixelsY(cy, units_));
}

int Dialog::DoModal()
{
    if (!created_)
    {
        CreateControls();
        TraceStep("controls made");
        OnInitDialog();
        TraceStep("initialised");
    }
    setModal(true);
    const int result = exec();
    DoDestroyWindow();
    return result;
}

bool Dialog::Create(QWidget* parent)
{
    if (created_)
    {
        return false;
    }
    if (parent != nullptr)
    {
        setParent(parent, windowFlags());
    }
    CreateControls();
    TraceStep("controls made");
    OnInitDialog();
    TraceStep("initialised");
    show();
    return true;
}

void Dialog::TraceStep(const char* step) const
{
    if (trace::Enabled())
    {
        trace::StartupStep("dialog " + std::to_string(template_.id) + ": " + step);
    }
}

void Dialog::EndDialog(int result)
{
    WindowCall(
        [&]
        {
            done(result);
            return true;
        });
}

void Dialog::CreateControls()
{
    created_ = true;
    QButtonGroup* radioGroup = nullptr;
    QString lastLabel;
    for (const ControlTemplate& control : template_.controls)
    {
        QWidget* widget = CreateControl(control, this);
        if (widget == nullptr)
        {
            continue;
        }
        widget->setGeometry(DialogUnitsToPixels(control.x, control.y, control.cx, control.cy));
        widget->setEnabled((control.style & kDisabled) == 0);
        widget->setVisible((control.style & kHidden) == 0);
        if (control.kind == ControlKind::GroupBox)
        {
            widget->lower(); // a frame behind the controls it surrounds
        }
        if (control.kind == ControlKind::RadioButton)
        {
            if ((control.style & kGroup) != 0 || radioGroup == nullptr)
            {
                radioGroup = new QButtonGroup(this);
            }
            // The group keeps its buttons exclusive; a radio button stays
            // auto-exclusive all the same, which is what makes a screen
            // reader announce it as a radio button and not as a check box.
            radioGroup->addButton(static_cast<QRadioButton*>(widget));
        }
        else if ((control.style & kGroup) != 0)
        {
            radioGroup = nullptr;
        }
        // Controls without a caption of their own are named by the label
        // before them, or by the caption their template gives them.
        if (widget->accessibleName().isEmpty() && control.kind != ControlKind::Label
            && control.kind != ControlKind::GroupBox)
        {
            const QString own = QString::fromUtf8(control.caption);
            const bool captionShown = control.kind == ControlKind::PushButton
                || control.kind == ControlKind::DefPushButton || control.kind == ControlKind::CheckBox
                || control.kind == ControlKind::RadioButton;
            if (!captionShown)
            {
                widget->setAccessibleName(!own.isEmpty() ? own : lastLabel);
            }
        }
        lastLabel = control.kind == ControlKind::Label ? QString::fromUtf8(control.caption) : QString();
        if (control.id != kIdStatic)
        {
            controls_[control.id] = widget;
            widget->setObjectName(QStringLiteral("control-%1").arg(control.id));
            ConnectControl(control.id, widget, control.kind);
        }
    }
    qApp->installEventFilter(this);
}

QWidget* Dialog::CreateControl(const ControlTemplate& control, QWidget* parent)
{
    const QString caption = QString::fromUtf8(control.caption);
    switch (control.kind)
    {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton:
    {
        auto* button = new QPushButton(caption, parent);
        button->setAutoDefault(true);
        button->setDefault(control.kind == ControlKind::DefPushButton);
        return button;
    }
    case ControlKind::CheckBox:
        return new ToggleReportingButton<QCheckBox>(caption, parent);
    case ControlKind::RadioButton:
        return new ToggleReportingButton<QRadioButton>(caption, parent);
    case ControlKind::GroupBox:
        return new QGroupBox(caption, parent);
    case ControlKind::Label:
    {
        auto* label = new QLabel(caption, parent);
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        Qt::Alignment alignment = Qt::AlignTop;
        alignment |= (control.style & kAlignCenter) != 0 ? Qt::AlignHCenter
            : (control.style & kAlignRight) != 0         ? Qt::AlignRight
                                                         : Qt::AlignLeft;
        label->setAlignment(alignment);
        return label;
    }
    case ControlKind::IconStatic:
    {
        auto* label = new QLabel(parent);
        if (control.iconId != 0)
        {
            label->setPixmap(LoadIconPixmap(control.iconId, kIconStaticSize));
            iconIds_[control.id] = control.iconId;
        }
        return label;
    }
    case ControlKind::Edit:
    {
        // An edit starts empty, as one of a resource script does; its
        // template caption only names it for screen readers.
        if ((control.style & kMultiLine) != 0)
        {
            auto* edit = new QPlainTextEdit(parent);
            edit->setReadOnly((control.style & kReadOnly) != 0);
            edit->setAccessibleName(caption);
            return edit;
        }
        auto* edit = new QLineEdit(parent);
        edit->setAccessibleName(caption);
        edit->setReadOnly((control.style & kReadOnly) != 0);
        if ((control.style & kPassword) != 0)
        {
            edit->setEchoMode(QLineEdit::Password);
        }
        if ((control.style & kNumber) != 0)
        {
            edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
        }
        return edit;
    }
    case ControlKind::ListView:
        return new ListViewControl(parent);
    case ControlKind::RichEdit:
        return new RichEditControl(parent);
    case ControlKind::IpAddress:
        return new IpAddressControl(parent);
    case ControlKind::Picture:
        return new QLabel(parent);
    }
    return nullptr;
}

void Dialog::ConnectControl(int id, QWidget* widget, ControlKind kind)
{
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
    {
        connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id, kBnClicked); });
        const auto report = [this, id]
        {
            if (!checkingByProgram_)
            {
                OnCommand(id, kBnClicked);
            }
        };
        if (auto* box = dynamic_cast<ToggleReportingButton<QCheckBox>*>(widget))
        {
            box->onToggledWithoutClick = report;
        }
        else if (auto* radio = dynamic_cast<ToggleReportingButton<QRadioButton>*>(widget))
        {
            radio->onToggledWithoutClick = report;
        }
    }
    else if (auto* edit = qobject_cast<QLineEdit*>(widget))
    {
        connect(edit, &QLineEdit::textChanged, this, [this, id] { OnCommand(id, kEnChange); });
    }
    else if (auto* text = qobject_cast<QPlainTextEdit*>(widget))
    {
        connect(text, &QPlainTextEdit::textChanged, this, [this, id] { OnCommand(id, kEnChange); });
    }
    else if (auto* list = qobject_cast<ListViewControl*>(widget))
    {
        connect(list,
            &ListViewControl::ItemClicked,
            this,
            [this, id](int row) {
                OnNotify(id, Notification { NotifyCode::Click, row, -1 });
            });
        connect(list,
            &ListViewControl::ItemDoubleClicked,
            this,
            [this, id](int row) {
                OnNotify(id, Notification { NotifyCode::DoubleClick, row, -1 });
            });
        connect(list,
            &ListViewControl::ColumnClicked,
            this,
            [this, id](int column) {
                OnNotify(id, Notification { NotifyCode::ColumnClick, -1, column });
            });
    }
    (void)kind;
}

int Dialog::IdOf(const QObject* object) const
{
    for (; object != nullptr && object != this; object = object->parent())
    {
        for (const auto& [id, widget] : controls_)
        {
            if (widget == object)
            {
                return id;
            }
        }
    }
    return kIdStatic;
}

// ---- Control operations ----

QWidget* Dialog::Item(int id) const
{
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second.data();
}

ListViewControl* Dialog::ListView(int id) const
{
    return qobject_cast<ListViewControl*>(Item(id));
}

RichEditControl* Dialog::RichEdit(int id) const
{
    return qobject_cast<RichEditControl*>(Item(id));
}

IpAddressControl* Dialog::IpAddress(int id) const
{
    return qobject_cast<IpAddressControl*>(Item(id));
}

bool Dialog::HasItem(int id) const
{
    return WindowCall([&] { return Item(id) != nullptr; }, false);
}

void Dialog::SetItemText(int id, std::string_view text)
{
    WindowCall(
        [&]
        {
            QWidget* widget = Item(id);
            const QString value = FromUtf8(text);
            if (auto* button = qobject_cast<QAbstractButton*>(widget))
            {
                button->setText(value);
            }
            else if (auto* label = qobject_cast<QLabel*>(widget))
            {
                label->setText(value);
            }
            else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            {
                edit->setText(value);
            }
            else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget))
            {
                plain->setPlainText(value);
            }
            else if (auto* rich = qobject_cast<RichEditControl*>(widget))
            {
                rich->SetText(text);
            }
            else if (auto* group = qobject_cast<QGroupBox*>(widget))
            {
                group->setTitle(value);
            }
            return true;
        });
}

std::string Dialog::ItemText(int id) const
{
    return WindowCall(
        [&]
        {
            const QWidget* widget = Item(id);
            QString value;
            if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
            {
                value = button->text();
            }
            else if (const auto* label = qobject_cast<const QLabel*>(widget))
            {
                value = label->text();
            }
            else if (const auto* edit = qobject_cast<const QLineEdit*>(widget))
            {
                value = edit->text();
            }
            else if (const auto* plain = qobject_cast<const QPlainTextEdit*>(widget))
            {
                value = plain->toPlainText();
            }
            else if (const auto* rich = qobject_cast<const RichEditControl*>(widget))
            {
                value = rich->toPlainText();
            }
            else if (const auto* group = qobject_cast<const QGroupBox*>(widget))
            {
                value = group->title();
            }
            else if (const auto* ip = qobject_cast<const IpAddressControl*>(widget))
            {
                value = ip->Text();
            }
            return value.toStdString();
        });
}

void Dialog::EnableItem(int id, bool enable)
{
    WindowCall(
        [&]
        {
            if (QWidget* widget = Item(id))
            {
                widget->setEnabled(enable);
            }
            return true;
        });
}

bool Dialog::IsItemEnabled(int id) const
{
    return WindowCall(
        [&]
        {
            const QWidget* widget = Item(id);
            return widget != nullptr && widget->isEnabled();
        });
}

void Dialog::ShowItem(int id, bool show)
{
    WindowCall(
        [&]
        {
            if (QWidget* widget = Item(id))
            {
                widget->setVisible(show);
            }
            return true;
        });
}

bool Dialog::IsItemVisible(int id) const
{
    return WindowCall(
        [&]
        {
            const QWidget* widget = Item(id);
            return widget != nullptr && !widget->isHidden();
        });
}

void Dialog::CheckButton(int id, int state)
{
    WindowCall(
        [&]
        {
            if (auto* button = qobject_cast<QAbstractButton*>(Item(id)))
            {
                // As BM_SETCHECK: the program's own change is no click.
                checkingByProgram_ = true;
                button->setChecked(state != kUnchecked);
                checkingByProgram_ = false;
            }
            return true;
        });
}

int Dialog::IsButtonChecked(int id) const
{
    return WindowCall(
        [&]
        {
            const auto* button = qobject_cast<const QAbstractButton*>(Item(id));
            return button != nullptr && button->isChecked() ? kChecked : kUnchecked;
        });
}

void Dialog::SetFocusItem(int id)
{
    WindowCall(
        [&]
        {
            if (QWidget* widget = Item(id))
            {
                widget->setFocus(Qt::OtherFocusReason);
            }
            return true;
        });
}

int Dialog::FocusItem() const
{
    return WindowCall([&] { return IdOf(QApplication::focusWidget()); }, kIdStatic);
}

QRect Dialog::ItemRect(int id) const
{
    return WindowCall(
        [&]
        {
            const QWidget* widget = Item(id);
            return widget != nullptr ? widget->geometry() : QRect();
        });
}

void Dialog::MoveItem(int id, const QRect& rect)
{
    WindowCall(
        [&]
        {
            if (QWidget* widget = Item(id))
            {
                widget->setGeometry(rect);
            }
            return true;
        });
}

void Dialog::SelectItemText(int id, int start, int end)
{
    WindowCall(
        [&]
        {
            QWidget* widget = Item(id);
            if (auto* edit = qobject_cast<QLineEdit*>(widget))
            {
                const int length = static_cast<int>(edit->text().size());
                const int last = end < 0 || end > length ? length : end;
                edit->setSelection(std::min(start, length), last - std::min(start, length));
            }
            else if (auto* rich = qobject_cast<RichEditControl*>(widget))
            {
                rich->SetSel(start, end);
                rich->ensureCursorVisible();
            }
            return true;
        });
}

void Dialog::SetItemIcon(int id, int iconId, int size)
{
    WindowCall(
        [&]
        {
            if (auto* label = qobject_cast<QLabel*>(Item(id)))
            {
                label->setPixmap(LoadIconPixmap(iconId, size));
                iconIds_[id] = iconId;
            }
            return true;
        });
}

int Dialog::ItemIconId(int id) const
{
    return WindowCall(
        [&]
        {
            const auto found = iconIds_.find(id);
            return found == iconIds_.end() ? 0 : found->second;
        });
}

// ---- Window operations ----

void Dialog::SetTimer(int id, int milliseconds)
{
    WindowCall(
        [&]
        {
            QTimer*& timer = timers_[id];
            if (timer == nullptr)
            {
                timer = new QTimer(this);
                connect(timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
            }
            timer->start(milliseconds);
            return true;
        });
}

void Dialog::KillTimer(int id)
{
    WindowCall(
        [&]
        {
            const auto found = timers_.find(id);
            if (found != timers_.end())
            {
                found->second->stop();
                found->second->deleteLater();
                timers_.erase(found);
            }
            return true;
        });
}

bool Dialog::HasTimer(int id) const
{
    return WindowCall([&] { return timers_.count(id) != 0; });
}

void Dialog::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    QCoreApplication::postEvent(this, new MessageEvent(message, wParam, lParam));
}

QSize Dialog::ClientSize() const
{
    return WindowCall([&] { return size(); });
}

void Dialog::AppendSystemMenuItem(int id, std::string_view text)
{
    systemMenu_.emplace_back(id, std::string(text));
}

void Dialog::SetWindowIcon(int iconId)
{
    setWindowIcon(LoadIcon(iconId));
}

void Dialog::SendSystemCommand(int id)
{
    WindowCall(
        [&]
        {
            OnSysCommand(id);
            return true;
        });
}

// ---- Handlers: the defaults ----

bool Dialog::OnInitDialog()
{
    return true;
}

void Dialog::OnCommand(int id, int code)
{
    if (code != kBnClicked)
    {
        return;
    }
    if (id == kIdOk)
    {
        OnOK();
    }
    else if (id == kIdCancel)
    {
        OnCancel();
    }
}

void Dialog::OnNotify(int, const Notification&)
{
}

void Dialog::OnTimer(int)
{
}

bool Dialog::OnMessage(std::uint32_t, std::uintptr_t, std::intptr_t)
{
    return false;
}

void Dialog::OnSize(int, int)
{
}

bool Dialog::PreTranslateMessage(const InputMessage&)
{
    return false;
}

void Dialog::OnSysCommand(int)
{
}

void Dialog::OnOK()
{
    EndDialog(kIdOk);
}

void Dialog::OnCancel()
{
    EndDialog(kIdCancel);
}

void Dialog::DestroyWindow()
{
}

void Dialog::DoDestroyWindow()
{
    if (destroyed_)
    {
        return;
    }
    destroyed_ = true;
    DestroyWindow();
    for (auto& [id, timer] : timers_)
    {
        timer->stop();
    }
}

// ---- Qt events ----

void Dialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    // Only a change of size is a size message; showing the dialog at the size
    // it was made with is not.
    if (size() != lastSize_)
    {
        lastSize_ = size();
        OnSize(width(), height());
    }
}

bool Dialog::eventFilter(QObject* watched, QEvent* event)
{
    const bool key = event->type() == QEvent::KeyPress;
    const bool leftUp
        = event->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
    if ((!key && !leftUp) || inPreTranslate_ || !watched->isWidgetType())
    {
        return QDialog::eventFilter(watched, event);
    }
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != this && !(isAncestorOf(widget) && widget->window() == window()))
    {
        return QDialog::eventFilter(watched, event);
    }
    // An event a widget ignores goes on to its parent and passes this filter
    // again: only the widget it was sent to counts.
    if (!IsFirstReceiver(watched, event))
    {
        return QDialog::eventFilter(watched, event);
    }
    InputMessage message;
    message.kind = key ? InputMessage::Kind::KeyDown : InputMessage::Kind::LeftButtonUp;
    message.controlId = IdOf(widget);
    message.key = key ? static_cast<QKeyEvent*>(event)->key() : 0;
    inPreTranslate_ = true;
    const bool consumed = PreTranslateMessage(message);
    inPreTranslate_ = false;
    return consumed || QDialog::eventFilter(watched, event);
}

void Dialog::customEvent(QEvent* event)
{
    if (event->type() == kMessageEvent)
    {
        const auto* message = static_cast<MessageEvent*>(event);
        OnMessage(message->message, message->wParam, message->lParam);
        return;
    }
    QDialog::customEvent(event);
}

void Dialog::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1 && !systemMenu_.empty())
    {
        OnSysCommand(systemMenu_.front().first);
        return;
    }
    if ((template_.style & kDialogChild) != 0)
    {
        // A child dialog leaves Enter and Esc to the dialog it sits in.
        QWidget::keyPressEvent(event);
        return;
    }
    QDialog::keyPressEvent(event);
}

void Dialog::contextMenuEvent(QContextMenuEvent* event)
{
    if (systemMenu_.empty())
    {
        QDialog::contextMenuEvent(event);
        return;
    }
    QMenu menu(this);
    for (const auto& [id, text] : systemMenu_)
    {
        QString caption = FromUtf8(text);
        QAction* action = menu.addAction(caption);
        const int command = id;
        connect(action, &QAction::triggered, this, [this, command] { OnSysCommand(command); });
    }
    menu.exec(event->globalPos());
}

void Dialog::closeEvent(QCloseEvent* event)
{
    // The close box is a cancel, which the dialog may refuse.
    event->ignore();
    if ((template_.style & kDialogChild) == 0)
    {
        OnCancel();
    }
}

void Dialog::reject()
{
    OnCancel();
}

void Dialog::accept()
{
    OnOK();
}

} // namespace quellis::ui
