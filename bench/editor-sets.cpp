// How long the set list editor takes to open on many sets, and to move one of them.
// Usage: QT_QPA_PLATFORM=offscreen kelvo_bench_editor [SETS]   (default 1000)
#include "config/AppState.h"
#include "config/Configuration.h"
#include "ui/MessageBoxes.h"
#include "ui/frmConfig.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>

using namespace kelvo;

namespace {

BackupSets ManySets(int count)
{
    BackupSets sets;
    for (int i = 0; i < count; ++i) {
        BackupSet set;
        set.SetName = QStringLiteral("Set %1").arg(i);
        set.SourceDirFile = QStringLiteral("/home/someone/Documents/project %1").arg(i);
        set.DestDir = QStringLiteral("/media/backup/Documents/project %1").arg(i);
        set.CopyOptions = QStringLiteral("OpDate");
        set.SyncOptions = QStringLiteral("srcToDest");
        set.LastDate = QStringLiteral("07/12/2026 14:05:09");
        set.flEnabled = i % 3 != 0;
        sets.push_back(set);
    }
    return sets;
}

double Milliseconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    Configuration configuration{{}, ManySets(count), {}};
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    frmConfig editor(frmConfigParts{configuration,
                                    app,
                                    MessageBoxes::Desktop(),
                                    [](const SetsDraft&) {},
                                    [] {},
                                    [] {},
                                    [] {},
                                    {},
                                    {},
                                    {},
                                    {},
                                    {},
                                    {}});

    QElapsedTimer open;
    open.start();
    editor.Form_Load();
    editor.show();
    QApplication::processEvents();
    const double openMs = Milliseconds(open);

    constexpr int Moves = 200;
    double slowestMoveMs = 0;
    editor.selectRow(count / 2);
    for (int i = 0; i < Moves; ++i) {
        QElapsedTimer move;
        move.start();
        editor.Toolbar1_ButtonClick(i % 2 == 0 ? 5 : 6);
        QApplication::processEvents();
        slowestMoveMs = std::max(slowestMoveMs, Milliseconds(move));
    }
    std::printf("sets=%d open_ms=%.1f slowest_move_ms=%.2f (target: open < 300 ms, a move < 16 ms)\n", count,
                openMs, slowestMoveMs);
    return openMs < 300 && slowestMoveMs < 16 ? 0 : 1;
}
