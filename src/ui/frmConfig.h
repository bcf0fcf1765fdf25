#pragma once

#include "config/AppState.h"
#include "config/Configuration.h"
#include "ui/OpenDialog.h"
#include "ui/SetListModel.h"

#include <QDialog>
#include <QPushButton>
#include <QTableView>
#include <QToolBar>

#include <functional>
#include <memory>

namespace kelvo {

class frmOptions;
class MessageBoxes;

struct frmConfigParts
{
    Configuration& configuration;
    AppState& app;
    MessageBoxes& messages;
    // Commits the editor's draft (CommitDraft); raises on a save that failed (the store keeps what it
    // had).
    std::function<void(const SetsDraft& draft)> commit;
    std::function<void()> loadConfiguration;
    std::function<void()> exitProgram;
    std::function<void()> statusBarVisible;
    // The general settings dialog: opened by Settings; Done hides it when it is the one that asked.
    std::function<void()> showSettings;
    std::function<bool()> settingsVisible;
    std::function<void()> hideSettings;
    std::function<void()> about;
    std::function<void(const QString& topic)> help;
    BrowseFolder browseFolder;
    // The restore window, showing the backup of the set named.
    std::function<void(const QString& setName)> restore = {};
};

// The set list editor "Edit Sets": the sets in store order, each enabled or not, and the commands
// that add, edit, remove and order them. The editor and its properties dialog work on their own copy
// of the sets, so a countdown that reloads and runs the stored sets meanwhile takes nothing of what
// the person changed; Ok commits the copy, Cancel puts back the list as it was at the last load.
class frmConfig final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmConfig)

public:
    explicit frmConfig(frmConfigParts parts, QWidget* parent = nullptr);
    ~frmConfig() override;

    // The refresh: copies the sets in memory (loading them first when there are none) and keeps the
    // copy as it is for Cancel.
    void Form_Load();
    // Done: commits the configuration; false when the save failed, the person was told and the
    // editor stays open with the list as it is.
    bool cmdDone_Click();
    void CmdCancel_Click();
    void Toolbar1_ButtonClick(int index);
    void MSFlexGrid1_Click(const QModelIndex& index);

    QTableView& grid() { return m_grid; }
    QAction& toolbarButton(int index) const { return *m_buttons.at(std::size_t(index - 1)); }
    frmOptions& options() { return *m_options; }
    SetListModel& model() { return m_model; }
    // The list as the editor shows it, changes not yet committed included.
    const BackupSets& sets() const { return m_draft.sets; }
    void selectRow(int row);

protected:
    void reject() override;

private:
    int selectedRow() const;
    void updateCommands();
    void openOptions();
    void askToRemoveSet(int row);
    void removeSet(int row);
    void moveSelected(bool down);
    void orderTabs();
    void sizeColumns();
    void commit();

    frmConfigParts m_parts;
    SetsDraft m_draft; // what the grid and the properties dialog change
    SetListModel m_model;
    QTableView m_grid;
    QToolBar m_toolbar;
    std::vector<QAction*> m_buttons;
    QPushButton m_done;
    QPushButton m_cancel;
    std::unique_ptr<frmOptions> m_options;
    SetsDraft LoadedSets; // the draft as the last load or Done left it, for Cancel
};

} // namespace kelvo
