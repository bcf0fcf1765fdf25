#pragma once

#include "config/Configuration.h"
#include "ui/BackupTreeModel.h"
#include "ui/OpenDialog.h"
#include "ui/RestoreWorker.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>

#include <functional>

namespace kelvo {

class Clock;

struct frmRestoreParts
{
    // The sets as the program runs them.
    const Configuration& configuration;
    const Clock& clock;
    std::function<void(const QString& topic)> help;
    BrowseFolder browseFolder;
};

// "Restore Files": a set's backup as a tree of the user's files, the versions of the file or folder
// chosen in it, and the commands that put one back in its place or into another folder. The restore
// runs on a thread of its own (RestoreWorker): the window and the program's runs go on meanwhile.
class frmRestore final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmRestore)

public:
    explicit frmRestore(frmRestoreParts parts, QWidget* parent = nullptr);
    ~frmRestore() override;

    // Lists the sets again and shows the backup of the one named, or of the one shown before.
    void Form_Load(const QString& setName);
    bool restoring() const { return m_restoring; }

protected:
    // Escape, the close box and Close: a restore that is busy stops first, and the window waits for it.
    void reject() override;

private:
    void buildControls();
    void orderTabs();
    void fitToScreen();
    void showSet(int index);
    void showVersions();
    void showFileVersions(const BackupSet& set, const RestorePlace& place);
    void showFolderVersions(const BackupSet& set, const RestorePlace& place);
    void addVersion(int number, FileTime time, const QString& size, const QString& where);
    void startRestore(const std::optional<std::string>& toDirectory);
    void chooseFolderAndRestore();
    void restoreEnded(const RestoreSummary& summary);
    void setRestoring(bool restoring);
    void updateCommands();
    std::optional<RestorePlace> selectedPlace() const;
    const BackupSet* shownSet() const;

    frmRestoreParts m_parts;
    BackupTreeModel m_model;
    RestoreWorker m_worker;
    bool m_restoring = false;
    QComboBox m_sets;
    QTreeView m_files;
    QTreeWidget m_versions;
    QLabel m_note;
    QProgressBar m_progress;
    QLabel m_current;
    QLabel m_summary;
    QPlainTextEdit m_report;
    QPushButton m_restore;
    QPushButton m_restoreTo;
    QPushButton m_stop;
    QPushButton m_help;
    QPushButton m_close;
};

} // namespace kelvo
