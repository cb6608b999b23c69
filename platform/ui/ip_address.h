#pragma once

#include <QWidget>

#include <array>
#include <cstdint>

class QLineEdit;

// The IP address control: four number fields 0-255 separated by dots. Its
// value is a u32 in host order, first field in the most significant byte.
// UI thread only.

namespace quellis::ui
{

class IpAddressControl : public QWidget
{
    Q_OBJECT

public:
    explicit IpAddressControl(QWidget* parent = nullptr);

    void SetAddress(std::uint32_t address);
    // The address, blank fields reading as 0; returns how many fields are not blank.
    int GetAddress(std::uint32_t& address) const;
    void ClearAddress();
    [[nodiscard]] bool IsBlank() const;
    // The dotted text, as screen readers and tests read it.
    [[nodiscard]] QString Text() const;

signals:
    void AddressChanged();

protected:
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::array<QLineEdit*, 4> fields_ {};
};

} // namespace quellis::ui
