#pragma once

#include "platform/SettingsStore.h"
#include "schedule/RunController.h"
#include "support/TestSupport.h"

#include <filesystem>
#include <vector>

namespace kelvo::test {

// A timer that ticks when the test says time has passed.
class ManualTimer final : public RepeatingTimer
{
public:
    explicit ManualTimer(int milliseconds) : m_interval(milliseconds) {}
    void setInterval(int milliseconds) override { m_interval = milliseconds; }
    int interval() const override { return m_interval; }
    void setEnabled(bool enabled) override { m_enabled = enabled; }
    bool isEnabled() const override { return m_enabled; }
    // Ticks once for every whole interval in the given time, while enabled.
    void pass(qint64 milliseconds)
    {
        for (qint64 t = m_interval; t <= milliseconds && m_enabled; t += m_interval)
            tick();
    }

private:
    int m_interval;
    bool m_enabled = false;
};

class FixedClock final : public Clock
{
public:
    QDateTime now() const override { return time; }
    QDateTime time = QDateTime(QDate(2026, 12, 5), QTime(14, 5, 9));
};

// Keeps what the main window would show.
class RecordingView : public RunView
{
public:
    void statisticsChanged(const RunStatistics& s) override { statistics = s; }
    void currentFileChanged(const QString&) override {}
    void fileProgressChanged(int) override {}
    void overallProgressChanged(int) override {}
    void copyActive(bool) override {}
    void errorReported(const QString&) override {}
    void applyScreenSaverLayout() override { ++screenSaverLayouts; }
    void setLastRun(const QString& text) override { label13 = text; }
    void setLastRunPanel(const QString& text) override { panel1 = text; }
    void setMinutesToNext(const QString& label, const QString& panel) override
    {
        label17 = label;
        panel2 = panel;
    }
    void statusBarVisible() override { ++statusBarShown; }
    void runBusyChanged(bool busy) override { busyChanges.push_back(busy); }
    void watchProblem(const QString& message) override { problems.push_back(message); }
    void statusChanged(const ProgramStatus& s) override { status = s; }
    QRect mainWindowFrame() const override { return frame; }
    QSize screenSaverArea() const override { return {1000, 800}; }
    void moveMainWindow(const QPoint& topLeft) override { frame.moveTopLeft(topLeft); }

    RunStatistics statistics;
    ProgramStatus status;
    QString label13, panel1, label17, panel2;
    int screenSaverLayouts = 0, statusBarShown = 0;
    std::vector<QString> problems;
    std::vector<bool> busyChanges;
    QRect frame{100, 100, 421, 232};
};

// What a run controller works with, in a home of the test's own that holds the folders src/sub and dst.
struct RunWorld
{
    RunWorld()
    {
        std::filesystem::create_directories(src("sub"));
        std::filesystem::create_directories(home.dir() / "dst");
    }

    std::string src(const std::string& relative = {}) const { return home.dir() / ("src/" + relative); }

    // Stores a one-way set from source to dst/<name>, the log in the home, and general settings.
    void storeSet(const QString& name, const std::string& source,
                  std::initializer_list<std::pair<QString, QString>> settings = {})
    {
        StoreSet(store, name, source, home.dir() / ("dst/" + name.toStdString()));
        saveSetting(QStringLiteral("Settings"), QStringLiteral("StrLogFileDir"),
                    QString::fromStdString(home.dir().path()));
        for (const auto& [key, value] : settings)
            saveSetting(QStringLiteral("Settings"), key, value);
    }
    // A key of the stored section "Settings" or "Sets\<name>".
    void saveSetting(const QString& section, const QString& key, const QString& value)
    {
        store.SaveSetting(QStringLiteral("Kelvo"), section, key, value);
    }
    QString stored(const QString& section, const QString& key)
    {
        return store.GetSetting(QStringLiteral("Kelvo"), section, key);
    }

    RunControllerParts parts(NotifyFunction notify = {})
    {
        return {configuration, store, app, clock, timer1, tmrDialog, {}, std::move(notify)};
    }

    IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration;
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    FixedClock clock;
    ManualTimer timer1{60000};
    ManualTimer tmrDialog{50};
};

} // namespace kelvo::test
