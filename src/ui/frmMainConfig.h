#pragma once

#include "ui/OpenDialog.h"

#include <QDialog>
#include <QString>

#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace kelvo {

class AutostartEntry;
class MessageBoxes;
class frmStatusBar;
struct Configuration;
struct GeneralSettingKey;

// Where the problems of support are reported; the start-up entry's failure message names it.
inline constexpr char16_t SupportAddress[] = u"kelvo@users.noreply.example";

struct frmMainConfigParts
{
    Configuration& configuration;
    frmStatusBar& statusBar; // placed again when the corner changes
    AutostartEntry& autostart;
    MessageBoxes& messages;
    // The set list editor's Done: commits (save, then load) and runs its window steps; false when the
    // save failed and the user has been told, so the dialog stays open with what the user entered.
    std::function<bool()> done;
    std::function<void(const QString& topic)> help;
    BrowseFolder browseFolder = BrowseFolderDialog;
    BrowseFile browseFile = BrowseFileDialog;
};

// The general settings dialog, "Kelvo Settings": the log file, the alternative screen saver, the
// re-run timer, the runs' priority, start with the desktop, the tray icon, the status-bar window and the set
// watched in real time, and the days without a completed backup before a set is told. OK stores the controls
// in the general settings and commits; Cancel, Esc and the close box put the controls back as the settings
// hold them and store nothing. The same instance is shown again at the next opening.
class frmMainConfig final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmMainConfig)

public:
    explicit frmMainConfig(frmMainConfigParts parts, QWidget* parent = nullptr);

    // Fills the controls from the general settings and the sets.
    void Form_Load();

    // Esc and the close box take Cancel's way.
    void reject() override;

private:
    struct NumberField
    {
        QLineEdit* edit;
        QString what; // as the refusal names it
        QString unit;
        const GeneralSettingKey* key;
    };

    QGroupBox* buildFileFrame();
    QGroupBox* buildScreenSaverFrame();
    QGroupBox* buildTimerFrame();
    QGroupBox* buildMiscFrame();
    QLayout* buildButtons();
    QCheckBox* addCheckBox(const QString& name, const QString& caption);
    QLabel* addLabel(const QString& name, const QString& caption, QWidget* buddy = nullptr);
    QLineEdit* addLineEdit(const QString& name);
    QLineEdit* addNumberField(const QString& name, const QString& what, const QString& unit, const char* key);
    QPushButton* addButton(const QString& name, const QString& caption);
    QComboBox* addComboBox(const QString& name);

    void fillRealTimeList();
    void OKButton_Click();
    void CancelButton_Click();
    bool numberFieldsAcceptable();
    void storeStatusBarPosition();
    void storeWindowsStart();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();

    frmMainConfigParts m_parts;
    std::vector<NumberField> m_numberFields;
    QLineEdit* m_tbLogDirectory = nullptr;
    QLineEdit* m_tbfileSize = nullptr;
    QCheckBox* m_cbLogFile = nullptr;
    QCheckBox* m_cbSuccess = nullptr;
    QCheckBox* m_cbErrors = nullptr;
    QCheckBox* m_cblogdeletes = nullptr;
    QLineEdit* m_tbAltScreenSaver = nullptr;
    QCheckBox* m_cbScreenSaver = nullptr;
    QLineEdit* m_tbrrminutes = nullptr;
    QCheckBox* m_cbrerun = nullptr;
    QCheckBox* m_cbWindowsStart = nullptr;
    QCheckBox* m_cbDelay = nullptr;
    QCheckBox* m_cbRunWhenIdle = nullptr;
    QCheckBox* m_cbLowPriority = nullptr;
    QCheckBox* m_cbSystemTray = nullptr;
    QCheckBox* m_cbShowStatusBar = nullptr;
    QComboBox* m_ddbStatusBarPos = nullptr;
    QCheckBox* m_cbStatusBarAOT = nullptr;
    QComboBox* m_ddbRealTimeCheck = nullptr;
    QLineEdit* m_tbStaleDays = nullptr;
};

} // namespace kelvo
