#include "platform/ui/ip_address.h"

#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

namespace quellis::ui
{

IpAddressControl::IpAddressControl(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    for (std::size_t i = 0; i < fields_.size(); ++i)
    {
        auto* field = new QLineEdit(this);
        field->setValidator(new QIntValidator(0, 255, field));
        field->setMaxLength(3);
        field->setAlignment(Qt::AlignCenter);
        field->setFrame(false);
        field->setAccessibleName(QStringLiteral("IP address field %1").arg(i + 1));
        field->installEventFilter(this);
        connect(field,
            &QLineEdit::textEdited,
            this,
            [this, i](const QString& text)
            {
                // Three digits complete a field and move on, as the control does.
                if (text.size() == 3 && i + 1 < fields_.size())
                {
                    fields_[i + 1]->setFocus();
                    fields_[i + 1]->selectAll();
                }
                emit AddressChanged();
            });
        fields_[i] = field;
        layout->addWidget(field, 1);
        if (i + 1 < fields_.size())
        {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            layout->addWidget(dot);
        }
    }
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
    setFocusProxy(fields_[0]);
}

void IpAddressControl::SetAddress(std::uint32_t address)
{
    for (std::size_t i = 0; i < fields_.size(); ++i)
    {
        const unsigned value = (address >> (24 - 8 * i)) & 0xFF;
        fields_[i]->setText(QString::number(value));
    }
}

int IpAddressControl::GetAddress(std::uint32_t& address) const
{
    address = 0;
    int filled = 0;
    for (std::size_t i = 0; i < fields_.size(); ++i)
    {
        const QString text = fields_[i]->text();
        if (!text.isEmpty())
        {
            ++filled;
            address |= static_cast<std::uint32_t>(std::min(text.toUInt(), 255u)) << (24 - 8 * i);
        }
    }
    return filled;
}

void IpAddressControl::ClearAddress()
{
    for (QLineEdit* field : fields_)
    {
        field->clear();
    }
}

bool IpAddressControl::IsBlank() const
{
    for (const QLineEdit* field : fields_)
    {
        if (!field->text().isEmpty())
        {
            return false;
        }
    }
    return true;
}

QString IpAddressControl::Text() const
{
    QStringList parts;
    for (const QLineEdit* field : fields_)
    {
        parts.push_back(field->text());
    }
    return parts.join(QLatin1Char('.'));
}

void IpAddressControl::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
    {
        setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
    }
    QWidget::changeEvent(event);
}

bool IpAddressControl::eventFilter(QObject* watched, QEvent* event)
{
    // A dot moves to the next field.
    if (event->type() == QEvent::KeyPress)
    {
        const auto* key = static_cast<QKeyEvent*>(event);
        for (std::size_t i = 0; i + 1 < fields_.size(); ++i)
        {
            if (watched == fields_[i] && (key->key() == Qt::Key_Period || key->key() == Qt::Key_Space))
            {
                fields_[i + 1]->setFocus();
                fields_[i + 1]->selectAll();
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace quellis::ui
