#pragma once

#include <QDateTime>

namespace kelvo {

// Where the engine and the timers take the time from; tests replace it.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

} // namespace kelvo
