#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <algorithm>

namespace quellis::test
{

// The longest time the UI thread did not get back to its event loop: a
// precise timer ticks every millisecond while the meter runs, and the
// longest gap between two ticks is the figure.
class UiStallMeter
{
public:
    UiStallMeter()
    {
        ticker_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker_,
            &QTimer::timeout,
            &ticker_,
            [this]
            {
                const qint64 now = clock_.nsecsElapsed();
                if (lastTick_ != 0)
                {
                    longestNs_ = std::max(longestNs_, now - lastTick_);
                }
                lastTick_ = now;
            });
    }

    void Start()
    {
        clock_.start();
        lastTick_ = 0;
        longestNs_ = 0;
        ticker_.start(1);
    }
    void Stop() { ticker_.stop(); }

    [[nodiscard]] qint64 LongestNs() const { return longestNs_; }
    [[nodiscard]] double LongestMs() const { return static_cast<double>(longestNs_) / 1e6; }

private:
    QElapsedTimer clock_;
    QTimer ticker_;
    qint64 lastTick_ = 0;
    qint64 longestNs_ = 0;
};

} // namespace quellis::test
