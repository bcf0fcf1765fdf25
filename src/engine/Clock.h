#pragma once

#include <QDateTime>

#include <ctime>

namespace kelvo {

// Where the engine and the timers take the time from; tests replace it.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    // The current second, for callers that ask per file: a local date costs a time-zone lookup.
    virtual qint64 currentSecond() const { return now().toSecsSinceEpoch(); }
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    qint64 currentSecond() const override { return std::time(nullptr); }
};

} // namespace kelvo
