// Times one run of the windowed program's main window and how often its event loop got a turn
// meanwhile: the real frmDialog and frmStatusBar, wired as the program wires them, one set from the
// source to the destination, the load procedure and the poll that starts the run.
//
//     QT_QPA_PLATFORM=offscreen kelvo_bench_gui [--dialog-open] <source> <destination> [home]
//
// The home (HOME and the XDG directories below it) holds the set and the log; without one a
// temporary home is made and removed again. A 5 ms timer stands for everything else the loop has to
// serve (a click, a repaint): the longest gap between two of its ticks is the longest the window
// could not have answered. With --dialog-open the settings dialog is opened, as the tray menu opens
// it, a moment after the run has started and left open until the run ends; a dialog that held the run
// up is closed after DialogPatience so that the benchmark ends and shows the wait in its time.

#include "app/ProgramDialogs.h"
#include "config/AppState.h"
#include "config/Configuration.h"
#include "engine/Clock.h"
#include "platform/ProcessStarter.h"
#include "platform/SettingsStore.h"
#include "ui/MessageBoxes.h"
#include "ui/frmDialog.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/resource.h>

namespace {

namespace fs = std::filesystem;
using namespace Qt::StringLiterals;

constexpr int ProbeInterval = 5;
constexpr int DialogDelay = 50;       // ms after the run's start
constexpr int DialogPatience = 10000; // ms a dialog may hold the run up before it is closed

class PrivateHome final
{
public:
    explicit PrivateHome(const char* given)
    {
        if (given) {
            m_root = fs::absolute(given);
        } else {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvo-bench-gui-XXXXXX";
            if (!mkdtemp(pattern.data()))
                throw std::runtime_error("cannot make a temporary home");
            m_root = pattern;
            m_temporary = true;
        }
        for (const char* sub : {"config", "data", "runtime", "log"})
            fs::create_directories(m_root / sub);
        fs::permissions(m_root / "runtime", fs::perms::owner_all);
        setenv("HOME", m_root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_root / "data").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_root / "runtime").c_str(), 1);
    }
    PrivateHome(const PrivateHome&) = delete;
    PrivateHome& operator=(const PrivateHome&) = delete;
    ~PrivateHome()
    {
        std::error_code ignored;
        if (m_temporary)
            fs::remove_all(m_root, ignored);
    }

    QString logDirectory() const { return QString::fromStdString((m_root / "log").string()); }

private:
    fs::path m_root;
    bool m_temporary = false;
};

// The store holds this one set, with the defaults a new set gets, and the log in the home.
void StoreOnlySet(kelvo::SettingsStore& store, const QString& source, const QString& destination,
                  const QString& logDirectory)
{
    kelvo::Configuration configuration;
    kelvo::LoadConfiguration(store, configuration);
    kelvo::BackupSet set = kelvo::NewBackupSet(u"gui"_s);
    set.SourceDirFile = source;
    set.DestDir = destination;
    configuration.sets = {set};
    configuration.settings.StrLogFileDir = logDirectory;
    kelvo::CommitConfiguration(store, configuration);
}

// Counts the ticks of a timer that wants to run every few milliseconds and keeps the longest time
// the loop left between two of them, from its start to its stop.
class LoopProbe final
{
public:
    LoopProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(ProbeInterval);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            noteGap();
            ++m_ticks;
        });
    }

    void start()
    {
        m_sinceLast.start();
        m_timer.start();
    }
    void stop()
    {
        noteGap();
        m_timer.stop();
    }

    double longestGapMs() const { return double(m_longest) / 1e6; }
    qint64 ticks() const { return m_ticks; }

private:
    void noteGap()
    {
        m_longest = std::max(m_longest, m_sinceLast.nsecsElapsed());
        m_sinceLast.start();
    }

    QTimer m_timer;
    QElapsedTimer m_sinceLast;
    qint64 m_longest = 0; // ns
    qint64 m_ticks = 0;
};

// Opens the settings dialog shortly after the run has started, as a person would from the tray, and
// notes whether it was still open when the run ended.
class DialogDuringRun final
{
public:
    explicit DialogDuringRun(kelvo::ProgramDialogs& dialogs) : m_dialogs(dialogs) {}

    void arm()
    {
        QTimer::singleShot(DialogDelay, [this] {
            QTimer::singleShot(DialogPatience, [this] { closeDialog(); });
            m_dialogs.Settings();
        });
    }
    bool openNow() const { return QApplication::activeModalWidget() != nullptr; }
    void closeDialog()
    {
        if (QWidget* dialog = QApplication::activeModalWidget())
            dialog->close();
    }

private:
    kelvo::ProgramDialogs& m_dialogs;
};

} // namespace

int main(int argc, char** argv)
{
    const bool dialogOpen = argc > 1 && std::strcmp(argv[1], "--dialog-open") == 0;
    char** arguments = argv + (dialogOpen ? 1 : 0);
    const int count = argc - (dialogOpen ? 1 : 0);
    if (count < 3 || count > 4) {
        std::fprintf(stderr, "usage: kelvo_bench_gui [--dialog-open] <source> <destination> [home]\n");
        return 2;
    }
    const PrivateHome home(count == 4 ? arguments[3] : nullptr);
    QApplication application(argc, argv);

    kelvo::SettingsStore store;
    StoreOnlySet(store, QString::fromLocal8Bit(arguments[1]), QString::fromLocal8Bit(arguments[2]),
                 home.logDirectory());

    kelvo::Configuration configuration;
    kelvo::AppState state;
    state.RunMode = kelvo::RunModeApplication;
    const kelvo::SystemClock clock;
    kelvo::ProcessStarter starter;
    std::unique_ptr<kelvo::frmDialog> dialog;
    kelvo::frmStatusBar statusBar(
        configuration, [&dialog] { return dialog ? dialog->screen() : QGuiApplication::primaryScreen(); },
        [&dialog] {
            if (dialog && dialog->isVisible() && !QApplication::activeModalWidget())
                dialog->activateWindow();
        });
    kelvo::ProgramDialogs dialogs(
        kelvo::ProgramDialogsParts{configuration,
                                   store,
                                   state,
                                   kelvo::MessageBoxes::Desktop(),
                                   starter,
                                   [] {},
                                   [&statusBar]() -> kelvo::frmStatusBar& { return statusBar; },
                                   [&dialog]() -> QWidget* { return dialog.get(); },
                                   {}});
    dialog = std::make_unique<kelvo::frmDialog>(kelvo::frmDialogParts{
        configuration, store, state, clock, statusBar, [] {}, [] {}, [] {}, dialogs.commands(), {}, {}});
    dialog->show();

    DialogDuringRun during(dialogs);
    if (dialogOpen)
        during.arm();
    LoopProbe probe;
    QElapsedTimer wall;
    wall.start();
    probe.start();
    dialog->Form_Load();
    dialog->controller().PollTick();
    probe.stop();
    const double seconds = double(wall.nsecsElapsed()) / 1e9;
    const bool openAtEnd = during.openNow();
    during.closeDialog();

    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    const kelvo::RunStatistics& statistics = dialog->controller().statistics();
    std::printf("seconds=%.3f longest_gap_ms=%.1f probe_ticks=%lld peak_rss_kib=%ld files_copied=%lld",
                seconds, probe.longestGapMs(), static_cast<long long>(probe.ticks()), usage.ru_maxrss,
                static_cast<long long>(statistics.filesCopied));
    if (dialogOpen)
        std::printf(" dialog_open_at_end=%d", openAtEnd ? 1 : 0);
    std::printf("\n");
    if (statistics.errors > 0) {
        std::fprintf(stderr, "kelvo_bench_gui: the run reported %lld errors\n",
                     static_cast<long long>(statistics.errors));
        return 1;
    }
    return 0;
}
