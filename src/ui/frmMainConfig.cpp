#include "ui/frmMainConfig.h"

#include "config/Configuration.h"
#include "config/GeneralSettingKeys.h"
#include "platform/AutostartEntry.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"
#include "ui/frmStatusBar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>

#include <array>
#include <cstring>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int ClientWidth = 6825;
constexpr int ClientHeight = 4890;
constexpr int ButtonWidth = 1095;
constexpr int NumberPadding = 240; // the box's frame and margins around its digits

// The list's items by index, in the order of StatusBarCorner.
const std::array<QString, 4> CornerItems{u"Top Left Corner"_s, u"Top Right Corner"_s, u"Bottom Left Corner"_s,
                                         u"Bottom Right Corner"_s};

const QString NoRealTimeSet = u"None"_s;
const QString ScreenSaverFilter = u"Screen Saver (*.scr);;All Files (*)"_s;

// A number box followed by its unit, the rest of the row left empty.
QHBoxLayout* NumberWithUnit(QLineEdit* field, QLabel* unit)
{
    auto* row = new QHBoxLayout;
    row->addWidget(field);
    row->addWidget(unit);
    row->addStretch();
    return row;
}

StatusBarCorner CornerOfIndex(int index)
{
    return index >= 0 && index < int(CornerItems.size()) ? StatusBarCorner(index)
                                                         : StatusBarCorner::BottomRight;
}

const GeneralSettingKey& KeyNamed(const char* name)
{
    for (const GeneralSettingKey& key : GeneralSettingKeys()) {
        if (std::strcmp(key.name, name) == 0)
            return key;
    }
    Q_UNREACHABLE();
}

// The start-up entry's command line: the quoted program path and the switch of a start with the desktop.
QString WindowsStartCommand()
{
    return u'"' + QCoreApplication::applicationFilePath() + u"\" /W"_s;
}

// The file chooser opens where the field's program lies, or in the home directory.
QString StartFolderOf(const QString& path)
{
    const QFileInfo file(path);
    if (!path.isEmpty() && file.dir().exists())
        return file.absolutePath();
    return QDir::homePath();
}

} // namespace

frmMainConfig::frmMainConfig(frmMainConfigParts parts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_parts(std::move(parts))
{
    setObjectName(u"frmMainConfig"_s);
    setWindowTitle(u"Kelvo Settings"_s);
    setModal(true);
    setFont(WindowFont(font()));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(Pixels(120), Pixels(90), Pixels(120), Pixels(120));
    layout->setSpacing(Pixels(60));
    layout->addWidget(buildFileFrame());
    layout->addWidget(buildScreenSaverFrame());
    layout->addWidget(buildTimerFrame());
    layout->addWidget(buildMiscFrame());
    layout->addStretch();
    layout->addLayout(buildButtons());
    // The design's size, or more where the desktop's font needs it; never resized by the user.
    setFixedSize(sizeHint().expandedTo(QSize(Pixels(ClientWidth), Pixels(ClientHeight))));
    if (const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    Form_Load();
}

QCheckBox* frmMainConfig::addCheckBox(const QString& name, const QString& caption)
{
    auto* box = new QCheckBox(caption, this);
    box->setObjectName(name);
    return box;
}

QLabel* frmMainConfig::addLabel(const QString& name, const QString& caption, QWidget* buddy)
{
    auto* label = new QLabel(caption, this);
    label->setObjectName(name);
    if (buddy)
        label->setBuddy(buddy);
    return label;
}

QLineEdit* frmMainConfig::addLineEdit(const QString& name)
{
    auto* edit = new QLineEdit(this);
    edit->setObjectName(name);
    return edit;
}

// A number box that takes at most maxLength characters, and only whole numbers in the setting's range.
QLineEdit* frmMainConfig::addNumberField(const QString& name, const QString& what, const QString& unit,
                                         const char* key)
{
    const GeneralSettingKey& setting = KeyNamed(key);
    // The box holds as many digits as the setting's largest value.
    const int maxLength = int(QString::number(setting.maximum).size());
    QLineEdit* edit = addLineEdit(name);
    edit->setMaxLength(maxLength);
    edit->setValidator(new QIntValidator(setting.minimum, setting.maximum, edit));
    edit->setAlignment(Qt::AlignRight);
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(QString(maxLength, u'0')) +
                        Pixels(NumberPadding));
    m_numberFields.push_back({edit, what, unit, &setting});
    return edit;
}

QPushButton* frmMainConfig::addButton(const QString& name, const QString& caption)
{
    auto* button = new QPushButton(caption, this);
    button->setObjectName(name);
    button->setAutoDefault(false);
    return button;
}

QComboBox* frmMainConfig::addComboBox(const QString& name)
{
    auto* box = new QComboBox(this);
    box->setObjectName(name);
    return box;
}

QGroupBox* frmMainConfig::buildFileFrame()
{
    auto* frame = new QGroupBox(u"Log File"_s, this);
    frame->setObjectName(u"FileFrame"_s);
    auto* grid = new QGridLayout(frame);
    m_tbLogDirectory = addLineEdit(u"tbLogDirectory"_s);
    QPushButton* browse = addButton(u"Command1"_s, u"&Browse"_s);
    connect(browse, &QPushButton::clicked, this, &frmMainConfig::Command1_Click);
    grid->addWidget(addLabel(u"Label1"_s, u"Log F&ile Directory :"_s, m_tbLogDirectory), 0, 0);
    grid->addWidget(m_tbLogDirectory, 0, 1, 1, 2);
    grid->addWidget(browse, 0, 3);
    m_tbfileSize =
        addNumberField(u"tbfileSize"_s, u"maximum log file size"_s, u"megabytes"_s, "IntLogFileSize");
    grid->addWidget(addLabel(u"Label2"_s, u"Ma&ximum log file size :"_s, m_tbfileSize), 1, 0);
    grid->addLayout(NumberWithUnit(m_tbfileSize, addLabel(u"Label3"_s, u"MB  (zero for unlimited size)"_s)),
                    1, 1, 1, 3);
    m_cbLogFile = addCheckBox(u"cbLogFile"_s, u"Create &log file"_s);
    m_cbSuccess = addCheckBox(u"cbSuccess"_s, u"Log &successful copies"_s);
    m_cbErrors = addCheckBox(u"cbErrors"_s, u"Log &errors"_s);
    m_cblogdeletes = addCheckBox(u"cblogdeletes"_s, u"Log &deletes"_s);
    grid->addWidget(m_cbLogFile, 2, 0);
    grid->addWidget(m_cbSuccess, 2, 1);
    grid->addWidget(m_cbErrors, 2, 2);
    grid->addWidget(m_cblogdeletes, 2, 3);
    grid->setColumnStretch(2, 1);
    return frame;
}

QGroupBox* frmMainConfig::buildScreenSaverFrame()
{
    auto* frame = new QGroupBox(u"Screen Saver Options"_s, this);
    frame->setObjectName(u"ScreenSaverFrame"_s);
    auto* grid = new QGridLayout(frame);
    m_tbAltScreenSaver = addLineEdit(u"tbAltScreenSaver"_s);
    QPushButton* browse = addButton(u"Command2"_s, u"B&rowse"_s);
    connect(browse, &QPushButton::clicked, this, &frmMainConfig::Command2_Click);
    grid->addWidget(addLabel(u"Label4"_s, u"Screen Sa&ver :"_s, m_tbAltScreenSaver), 0, 0);
    grid->addWidget(m_tbAltScreenSaver, 0, 1);
    grid->addWidget(browse, 0, 2);
    m_cbScreenSaver = addCheckBox(u"cbScreenSaver"_s, u"Run &alternative screen saver"_s);
    grid->addWidget(m_cbScreenSaver, 1, 0, 1, 3);
    return frame;
}

QGroupBox* frmMainConfig::buildTimerFrame()
{
    auto* frame = new QGroupBox(u"Timer Options"_s, this);
    frame->setObjectName(u"Frame1"_s);
    auto* grid = new QGridLayout(frame);
    m_tbrrminutes = addNumberField(u"tbrrminutes"_s, u"re-run interval"_s, u"minutes"_s, "IntReRunTime");
    auto* minutes = new QHBoxLayout;
    minutes->addWidget(addLabel(u"Label5"_s, u"Re-run kelv&o every :"_s, m_tbrrminutes));
    minutes->addWidget(m_tbrrminutes);
    minutes->addWidget(addLabel(u"Label6"_s, u"minute(s)"_s));
    minutes->addStretch();
    m_cbrerun = addCheckBox(u"cbrerun"_s, u"Re-run kelvo automaticall&y"_s);
    m_cbWindowsStart = addCheckBox(u"cbWindowsStart"_s, u"Start Kelvo &when I log in"_s);
    m_cbDelay = addCheckBox(u"cbDelay"_s, u"Delay &1st run by minutes above"_s);
    grid->addLayout(minutes, 0, 0);
    grid->addWidget(m_cbrerun, 0, 1);
    grid->addWidget(m_cbDelay, 1, 0);
    grid->addWidget(m_cbWindowsStart, 1, 1);
    m_cbRunWhenIdle =
        addCheckBox(u"cbRunWhenIdle"_s, u"Bac&k up when the screen saver starts or the screen locks"_s);
    grid->addWidget(m_cbRunWhenIdle, 2, 0, 1, 2);
    m_cbLowPriority =
        addCheckBox(u"cbLowPriority"_s, u"Back up at low priority while I'm usin&g the computer"_s);
    grid->addWidget(m_cbLowPriority, 3, 0, 1, 2);
    return frame;
}

QGroupBox* frmMainConfig::buildMiscFrame()
{
    auto* frame = new QGroupBox(u"General"_s, this);
    frame->setObjectName(u"fmMiscOptions"_s);
    auto* grid = new QGridLayout(frame);
    m_cbSystemTray = addCheckBox(u"cbSystemTray"_s, u"Use system &tray icon"_s);
    m_cbShowStatusBar = addCheckBox(u"cbShowStatusBar"_s, u"Show Status Bar in &position:"_s);
    m_ddbStatusBarPos = addComboBox(u"ddbStatusBarPos"_s);
    for (const QString& item : CornerItems)
        m_ddbStatusBarPos->addItem(item);
    m_cbStatusBarAOT = addCheckBox(u"cbStatusBarAOT"_s, u"Stat&us Bar always on top"_s);
    m_ddbRealTimeCheck = addComboBox(u"ddbRealTimeCheck"_s);
    m_ddbRealTimeCheck->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_ddbRealTimeCheck->setMinimumContentsLength(16);
    grid->addWidget(m_cbSystemTray, 0, 0);
    grid->addWidget(m_cbStatusBarAOT, 0, 1, 1, 2);
    grid->addWidget(m_cbShowStatusBar, 1, 0);
    grid->addWidget(m_ddbStatusBarPos, 1, 1);
    grid->addWidget(addLabel(u"Label7"_s, u"Check this set in real time"_s, m_ddbRealTimeCheck), 2, 0);
    grid->addWidget(m_ddbRealTimeCheck, 2, 1);
    m_tbStaleDays =
        addNumberField(u"tbStaleDays"_s, u"days without a completed backup"_s, u"days"_s, "IntStaleDays");
    grid->addWidget(
        addLabel(u"Label8"_s, u"Tell me when a set has not completed a backup &for"_s, m_tbStaleDays), 3, 0);
    grid->addLayout(NumberWithUnit(m_tbStaleDays, addLabel(u"Label9"_s, u"days  (zero: never)"_s)), 3, 1, 1,
                    2);
    grid->setColumnStretch(2, 1);
    return frame;
}

QLayout* frmMainConfig::buildButtons()
{
    QPushButton* ok = addButton(u"OKButton"_s, u"&OK"_s);
    QPushButton* cancel = addButton(u"CancelButton"_s, u"&Cancel"_s);
    QPushButton* help = addButton(u"Command3"_s, u"&Help"_s);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &frmMainConfig::OKButton_Click);
    connect(cancel, &QPushButton::clicked, this, &frmMainConfig::CancelButton_Click);
    connect(help, &QPushButton::clicked, this, &frmMainConfig::Command3_Click);
    connect(new QShortcut(QKeySequence::HelpContents, this), &QShortcut::activated, help,
            &QPushButton::click);
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* button : {ok, cancel, help}) {
        button->setMinimumWidth(Pixels(ButtonWidth));
        row->addWidget(button);
    }
    return row;
}

void frmMainConfig::Form_Load()
{
    const GeneralSettings& settings = m_parts.configuration.settings;
    m_tbLogDirectory->setText(settings.StrLogFileDir);
    m_tbfileSize->setText(QString::number(settings.IntLogFileSize));
    m_tbAltScreenSaver->setText(settings.StrAltScreenSaver);
    m_tbrrminutes->setText(QString::number(settings.IntReRunTime));
    m_tbStaleDays->setText(QString::number(settings.IntStaleDays));
    const std::pair<QCheckBox*, bool> boxes[] = {
        {m_cbLogFile, settings.flLogFileOn},
        {m_cbSuccess, settings.flLogFileSuccess},
        {m_cbErrors, settings.flLogFileErrors},
        {m_cblogdeletes, settings.flLogDeletes},
        {m_cbScreenSaver, settings.flScreenSaver},
        {m_cbrerun, settings.flReRun},
        {m_cbSystemTray, settings.flSysTray},
        {m_cbWindowsStart, settings.flWindowsStart},
        {m_cbDelay, settings.flDelay},
        {m_cbShowStatusBar, settings.flShowStatusBar},
        {m_cbStatusBarAOT, settings.flStatusBarAOT},
        {m_cbRunWhenIdle, settings.flRunWhenIdle},
        {m_cbLowPriority, settings.flLowPriority},
    };
    for (const auto& [box, ticked] : boxes)
        box->setChecked(ticked);
    m_ddbStatusBarPos->setCurrentIndex(int(StatusBarCornerOf(settings)));
    fillRealTimeList();
}

// "None", then the sets in their order; the set that StrRealTime names (letter case counts) is
// selected, and "None" when it names no set. The empty record of a configuration without sets is no
// set and gets no item.
void frmMainConfig::fillRealTimeList()
{
    m_ddbRealTimeCheck->clear();
    m_ddbRealTimeCheck->addItem(NoRealTimeSet);
    m_ddbRealTimeCheck->setCurrentIndex(0);
    for (const BackupSet& set : m_parts.configuration.sets) {
        if (set.SetName.isEmpty())
            continue;
        m_ddbRealTimeCheck->addItem(set.SetName);
        if (set.SetName == m_parts.configuration.settings.StrRealTime)
            m_ddbRealTimeCheck->setCurrentIndex(m_ddbRealTimeCheck->count() - 1);
    }
}

// Every number is checked before anything is stored, so a refusal leaves the settings as they were.
bool frmMainConfig::numberFieldsAcceptable()
{
    for (const NumberField& field : m_numberFields) {
        bool whole = false;
        const int value = field.edit->text().toInt(&whole);
        if (!whole || value < field.key->minimum || value > field.key->maximum) {
            m_parts.messages.stop(this, u"The %1 must be a whole number of %2 from %3 to %4."_s.arg(
                                            field.what, field.unit, QString::number(field.key->minimum),
                                            QString::number(field.key->maximum)));
            field.edit->setFocus();
            field.edit->selectAll();
            return false;
        }
    }
    return true;
}

void frmMainConfig::OKButton_Click()
{
    if (!numberFieldsAcceptable())
        return;
    GeneralSettings& settings = m_parts.configuration.settings;
    settings.StrLogFileDir = m_tbLogDirectory->text();
    settings.IntLogFileSize = qint16(m_tbfileSize->text().toInt());
    settings.flLogFileOn = m_cbLogFile->isChecked();
    settings.flLogFileSuccess = m_cbSuccess->isChecked();
    settings.flLogFileErrors = m_cbErrors->isChecked();
    settings.flLogDeletes = m_cblogdeletes->isChecked();
    settings.StrAltScreenSaver = m_tbAltScreenSaver->text();
    settings.flScreenSaver = m_cbScreenSaver->isChecked();
    settings.flReRun = m_cbrerun->isChecked();
    settings.IntReRunTime = qint16(m_tbrrminutes->text().toInt());
    settings.IntStaleDays = qint16(m_tbStaleDays->text().toInt());
    settings.flSysTray = m_cbSystemTray->isChecked();
    settings.flDelay = m_cbDelay->isChecked();
    settings.flRunWhenIdle = m_cbRunWhenIdle->isChecked();
    settings.flLowPriority = m_cbLowPriority->isChecked();
    storeStatusBarPosition();
    settings.flStatusBarAOT = m_cbStatusBarAOT->isChecked();
    settings.flShowStatusBar = m_cbShowStatusBar->isChecked();
    storeWindowsStart();
    settings.StrRealTime = m_ddbRealTimeCheck->currentText();
    if (!m_parts.done || m_parts.done())
        accept();
}

// An unknown code was shown as the bottom right corner and so becomes "BR": a change, and the
// status-bar window is placed again, in the same corner.
void frmMainConfig::storeStatusBarPosition()
{
    GeneralSettings& settings = m_parts.configuration.settings;
    const QString old = settings.StrStatusBarPos;
    settings.StrStatusBarPos = StoredText(CornerOfIndex(m_ddbStatusBarPos->currentIndex()));
    if (settings.StrStatusBarPos != old)
        m_parts.statusBar.Form_Load();
}

// The entry is written only when the box changed; a failure is reported, and the setting keeps the
// box's state all the same.
void frmMainConfig::storeWindowsStart()
{
    GeneralSettings& settings = m_parts.configuration.settings;
    const bool ticked = m_cbWindowsStart->isChecked();
    if (ticked == settings.flWindowsStart)
        return;
    settings.flWindowsStart = ticked;
    if (!m_parts.autostart.setCommand(ticked ? WindowsStartCommand() : QString()).succeeded())
        m_parts.messages.stop(this,
                              u"Error when changing the start-up entry : please report to "_s +
                                  QString::fromUtf16(SupportAddress),
                              u"Cannot change the start-up entry"_s);
}

void frmMainConfig::CancelButton_Click()
{
    Form_Load();
    QDialog::reject();
}

void frmMainConfig::reject()
{
    CancelButton_Click();
}

// The field keeps its directory when the chooser is cancelled.
void frmMainConfig::Command1_Click()
{
    m_parts.browseFolder(this, u"Choose a file"_s, m_tbLogDirectory->text(), [this](const QString& folder) {
        if (!folder.isEmpty())
            m_tbLogDirectory->setText(folder);
    });
}

void frmMainConfig::Command2_Click()
{
    m_parts.browseFile(this, ScreenSaverFilter, StartFolderOf(m_tbAltScreenSaver->text()),
                       [this](const QString& file) {
                           if (!file.isEmpty())
                               m_tbAltScreenSaver->setText(file);
                       });
}

void frmMainConfig::Command3_Click()
{
    if (m_parts.help)
        m_parts.help(u"mainconfig.html"_s);
}

} // namespace kelvo
