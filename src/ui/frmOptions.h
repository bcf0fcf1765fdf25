#pragma once

#include "config/Configuration.h"
#include "ui/OpenDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QSpinBox>

#include <functional>

namespace kelvo {

class MessageBoxes;

struct frmOptionsParts
{
    BackupSets& sets;
    MessageBoxes& messages;
    std::function<void(const QString& topic)> help;
    BrowseFolder browseFolder;
    // The editor's grid learns that the record of this index was written (or added as the last row).
    std::function<void(int index)> rowWritten;
};

// The set properties dialog "Set Configuration": edits one backup set, or a new one, in memory. OK
// judges the set by the rules every front end shares and writes it; the store sees it at the
// editor's Done.
class frmOptions final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmOptions)

public:
    explicit frmOptions(frmOptionsParts parts, QWidget* parent = nullptr);

    // The editor's Add: the presets of a new set.
    void PrepareAdd();
    // The editor's Properties: the fields of the set at index (an empty Filters becomes "*.*").
    void PrepareEdit(int index);
    bool adding() const { return m_adding; }
    bool expanded() const { return m_advanced.isVisible(); }
    // Sizes the dialog for a screen whose work area is given (the screen it is on, when it is shown
    // or expanded or collapsed), and keeps it inside that area.
    void fitInto(const QRect& workArea);

private:
    // Before the controls that it holds, so that they are gone before it is.
    QGroupBox m_advanced;

public:
    void OKButton_Click();
    void CancelButton_Click();
    void Command1_Click(); // the advanced toggle

    QLineEdit tbSetName, tbSourceDirectoryFile, tbDestinationDirectory, tbFilters, TbArchiveSubDir;
    QCheckBox cbSubDirectories, cbOverwrite, cbDeleteDest, CbArchive, CbArchiveSubDir;
    QRadioButton OpArchiveKeepName, OpArchiveSeq, OpArchiveDate;
    QComboBox ddbCopyOptions, ddbSyncOptions;
    QSpinBox nbKeepMaxCopies, nbKeepDays; // 0: no limit
    QPushButton OKButton, CancelButton, CmdHelp, Command1;

protected:
    void reject() override;
    void showEvent(QShowEvent* event) override;

private:
    void buildDirectorySettings(QGroupBox& frame);
    void buildOptions(QGroupBox& frame);
    void buildAdvanced();
    void buildKeptCopyLimits(QGridLayout& grid, int firstRow);
    int advancedHeight() const;
    void setExpanded(bool expanded);
    void connectRules();
    BackupSet recordFromControls(const BackupSet& base) const;
    bool sourceMayBeAskedAbout() const;
    void writeIfValid(bool sourceMayBeMissing);
    bool validates(BackupSets& candidate, std::size_t index, bool sourceMayBeMissing);
    void browse(QLineEdit& field);

    frmOptionsParts m_parts;
    QScrollArea* m_scroll = nullptr;
    QWidget* m_contents = nullptr; // the controls at their designed places
    bool m_adding = true;
    int m_index = 0;
};

} // namespace kelvo
