#pragma once

#include <QCursor>
#include <QFont>
#include <QMetaObject>
#include <QObject>

#include <string>
#include <string_view>

class QLabel;

namespace quellis::controls
{

// Makes a static text behave as a web link: underlined, blue, red while the
// mouse is over it, a hand cursor, and a left click that asks the shell to
// open it. It takes over the label's painting and mouse input with an event
// filter (the label keeps its own class); Detach gives them back. UI thread
// only.
class CHyperLink : public QObject
{
    Q_OBJECT

public:
    CHyperLink() = default;
    // Gives the label back when it is still attached: an event filter that
    // goes away would otherwise leave it with the hand cursor and the mouse.
    ~CHyperLink() override;
    CHyperLink(const CHyperLink&) = delete;
    CHyperLink& operator=(const CHyperLink&) = delete;

    // False, changing nothing, for no label or while attached to one.
    bool Attach(QLabel* label);
    // The label that was attached, painting and handling input as its own
    // again; null when none. The label's destruction detaches first.
    QLabel* Detach();

    // Text drawn instead of the label's own (at most 31 code page 936 bytes)
    // and the target opened instead of it (at most 1023); empty: the label's
    // text. Detach clears both.
    void SetDisplayText(std::string_view text);
    void SetLinkTarget(std::string_view target);

    // The mouse is over the link: it is drawn red and holds the mouse.
    [[nodiscard]] bool IsHovering() const;
    [[nodiscard]] QLabel* Window() const { return window_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnPaint();
    void OnMouseMove(const QPoint& globalPos);
    void OnCaptureLost();
    void OnWindowDestroyed();
    void Forget();
    // The label's text as the link reads it: at most 31 code page 936 bytes.
    [[nodiscard]] std::string WindowText() const;

    bool hover_ = false;
    QLabel* window_ = nullptr;
    // The same label as a plain widget, converted while it was whole: what the
    // destruction handler and the filter compare and release.
    QWidget* widget_ = nullptr;
    QFont font_;
    std::string displayText_;
    std::string linkTarget_;
    // What Attach changed on the label, for Detach to put back.
    bool previousMouseTracking_ = false;
    bool hadOwnCursor_ = false;
    QCursor previousCursor_;
    QMetaObject::Connection destroyedConnection_;
};

} // namespace quellis::controls
