#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace kelvo {

// A timer of the main window (Timer1, tmrDialog) as the scheduling sees it. The program uses a QTimer;
// tests put in one that they advance by hand, so an hour of ticks takes no time.
class RepeatingTimer
{
public:
    virtual ~RepeatingTimer() = default;

    virtual void setInterval(int milliseconds) = 0;
    virtual int interval() const = 0;
    // An enabled timer ticks every interval from the moment it was enabled.
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;

    void setTickHandler(std::function<void()> handler) { m_handler = std::move(handler); }

protected:
    void tick()
    {
        if (m_handler)
            m_handler();
    }

private:
    std::function<void()> m_handler;
};

class QtRepeatingTimer final : public RepeatingTimer
{
public:
    explicit QtRepeatingTimer(int milliseconds)
    {
        m_timer.setInterval(milliseconds);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { tick(); });
    }

    void setInterval(int milliseconds) override { m_timer.setInterval(milliseconds); }
    int interval() const override { return m_timer.interval(); }
    void setEnabled(bool enabled) override
    {
        if (!enabled)
            m_timer.stop();
        else if (!m_timer.isActive())
            m_timer.start();
    }
    bool isEnabled() const override { return m_timer.isActive(); }

private:
    QTimer m_timer;
};

} // namespace kelvo
