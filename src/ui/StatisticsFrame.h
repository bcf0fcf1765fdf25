#pragma once

#include "engine/RunObserver.h"

#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>

namespace kelvo {

// The main window's "Statistics" frame, Frame1: the run's counters, the file being copied, the two
// progress bars, and the last and next run. Captions in bold, values in dark blue; the errors
// counter turns red at the first error and stays red.
class StatisticsFrame final : public QGroupBox
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StatisticsFrame)

public:
    explicit StatisticsFrame(QWidget* parent);

    // The frame's label by its name ("Label12").
    QLabel& label(const QString& name) const;

    void showStatistics(const RunStatistics& statistics);
    void showCurrentFile(const QString& name);
    void showFileProgress(int percent) { m_progressBar1->setValue(percent); }
    void showOverallProgress(int percent) { m_progressBar2->setValue(percent); }
    void showLastError(const QString& line);
    // Over the screen saver: no timer labels.
    void hideTimerLabels();

private:
    QLabel* addLabel(const QString& name, const QString& text, int left, int top, bool bold = false);
    QProgressBar* addProgressBar(const QString& name, int top);
    void Label12_Change();

    QProgressBar* m_progressBar1 = nullptr;
    QProgressBar* m_progressBar2 = nullptr;
    qint64 m_errorsShown = 0;
};

} // namespace kelvo
