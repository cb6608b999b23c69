#pragma once

#include <QObject>

namespace quellis::controls
{

// A static text that behaves as a web link.
class CHyperLink : public QObject
{
    Q_OBJECT

public:
    ~CHyperLink() override = default;
};

} // namespace quellis::controls
