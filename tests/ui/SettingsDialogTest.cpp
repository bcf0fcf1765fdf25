#include "config/Configuration.h"
#include "platform/AutostartEntry.h"
#include "support/TestSupport.h"
#include "ui/MessageBoxes.h"
#include "ui/frmMainConfig.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

struct Message
{
    QString text;
    QString title;
};

class RecordingMessages final : public MessageBoxes
{
public:
    void stop(QWidget*, const QString& text, const QString& title) override
    {
        stops.push_back({text, title});
    }
    bool question(QWidget*, const QString&, const QString&) override { return false; }

    std::vector<Message> stops;
};

const GeneralSettings SomeSettings{.StrLogFileDir = u"/var/log/kelvo/"_s,
                                   .IntLogFileSize = 20,
                                   .flLogFileOn = true,
                                   .flLogFileErrors = true,
                                   .flScreenSaver = true,
                                   .StrAltScreenSaver = u"/usr/bin/xlock"_s,
                                   .IntReRunTime = 60,
                                   .flSysTray = true,
                                   .flShowStatusBar = true,
                                   .StrStatusBarPos = u"TR"_s,
                                   .StrRealTime = u"Music"_s};

// Key presses as the user types them, through the widget's own handling (validator, length limit).
void Type(QWidget& widget, const QString& text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(&widget, &press);
    }
}

void PressEscape(QWidget& widget)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&widget, &press);
}

BackupSet Set(const QString& name)
{
    BackupSet set;
    set.SetName = name;
    return set;
}

class SettingsDialog : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "test_ui";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }

    frmMainConfig& open()
    {
        dialog = std::make_unique<frmMainConfig>(
            frmMainConfigParts{configuration, statusBar, autostart, messages,
                               [this] {
                                   doneSaw.push_back(configuration.settings);
                                   return doneSucceeds;
                               },
                               [this](const QString& topic) { helpTopics << topic; },
                               [this](QWidget*, const QString& title, const QString& start) {
                                   browsed << title + u'|' + start;
                                   return folderChosen;
                               },
                               [this](QWidget*, const QString& filter, const QString& start) {
                                   browsed << filter + u'|' + start;
                                   return fileChosen;
                               }});
        dialog->show();
        return *dialog;
    }

    template <typename T> T& control(const QString& name) const
    {
        T* widget = dialog->findChild<T*>(name);
        if (!widget)
            throw std::runtime_error("no control " + name.toStdString());
        return *widget;
    }
    QLineEdit& edit(const QString& name) const { return control<QLineEdit>(name); }
    QCheckBox& box(const QString& name) const { return control<QCheckBox>(name); }
    QComboBox& list(const QString& name) const { return control<QComboBox>(name); }
    void click(const QString& button) const { control<QPushButton>(button).click(); }

    QStringList items(const QString& name) const
    {
        QStringList texts;
        for (int i = 0; i < list(name).count(); ++i)
            texts << list(name).itemText(i);
        return texts;
    }

    // Every text box and check box with the other value, and the last corner and set chosen.
    void changeEveryControl() const
    {
        edit(u"tbLogDirectory"_s).setText(u"/srv/logs"_s);
        edit(u"tbfileSize"_s).setText(u"999"_s);
        edit(u"tbAltScreenSaver"_s).setText(u"/opt/saver.scr"_s);
        edit(u"tbrrminutes"_s).setText(u"9999"_s);
        for (QCheckBox* checkBox : dialog->findChildren<QCheckBox*>())
            checkBox->setChecked(!checkBox->isChecked());
        list(u"ddbStatusBarPos"_s).setCurrentIndex(0);
        list(u"ddbRealTimeCheck"_s).setCurrentIndex(1);
    }

    QPoint cornerPosition(const QString& code) const
    {
        return StatusBarPosition(code, QGuiApplication::primaryScreen()->availableGeometry(),
                                 statusBar.size());
    }

    test::IsolatedHome home;
    Configuration configuration{SomeSettings, {Set(u"Docs"_s), Set(u"Music"_s)}, {}};
    frmStatusBar statusBar{configuration, [] { return QGuiApplication::primaryScreen(); }, {}};
    AutostartEntry autostart; // in the isolated home
    RecordingMessages messages;
    bool doneSucceeds = true;
    std::vector<GeneralSettings> doneSaw;
    QStringList helpTopics;
    QStringList browsed;
    QString folderChosen;
    QString fileChosen;
    std::unique_ptr<frmMainConfig> dialog;
};

TEST_F(SettingsDialog, HasTheDesignedCaptionsAndAFixedSize)
{
    open();
    EXPECT_EQ(dialog->windowTitle(), u"Kelvo Settings"_s);
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_GE(dialog->width(), 455);
    EXPECT_GE(dialog->height(), 326);
    EXPECT_FALSE(dialog->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    EXPECT_TRUE(control<QPushButton>(u"OKButton"_s).isDefault());

    // The captions that are easiest to get wrong, and the frames one below the other.
    EXPECT_EQ(control<QLabel>(u"Label3"_s).text(), u"MB  (zero for unlimited size)"_s);
    EXPECT_EQ(box(u"cbWindowsStart"_s).text(), u"Start Kelvo when &Windows starts"_s);
    int below = 0;
    for (const char16_t* frame : {u"FileFrame", u"ScreenSaverFrame", u"Frame1", u"fmMiscOptions"}) {
        const QRect place = control<QGroupBox>(QString::fromUtf16(frame)).geometry();
        EXPECT_GE(place.top(), below) << QString::fromUtf16(frame).toStdString();
        below = place.bottom();
    }
    EXPECT_EQ(edit(u"tbfileSize"_s).maxLength(), 3);
    EXPECT_EQ(edit(u"tbrrminutes"_s).maxLength(), 4);
    EXPECT_TRUE(list(u"ddbRealTimeCheck"_s).isVisibleTo(dialog.get()));
    EXPECT_TRUE(list(u"ddbRealTimeCheck"_s).isEnabled());

    click(u"Command3"_s);
    EXPECT_EQ(helpTopics, QStringList{u"mainconfig.html"_s});
}

TEST_F(SettingsDialog, FillsTheControlsFromTheSettings)
{
    open();
    EXPECT_EQ(edit(u"tbLogDirectory"_s).text(), u"/var/log/kelvo/"_s);
    EXPECT_EQ(edit(u"tbfileSize"_s).text(), u"20"_s);
    EXPECT_EQ(edit(u"tbAltScreenSaver"_s).text(), u"/usr/bin/xlock"_s);
    EXPECT_EQ(edit(u"tbrrminutes"_s).text(), u"60"_s);
    const std::pair<const char16_t*, bool> boxes[] = {
        {u"cbLogFile", true},       {u"cbSuccess", false},      {u"cbErrors", true},
        {u"cblogdeletes", false},   {u"cbScreenSaver", true},   {u"cbrerun", false},
        {u"cbSystemTray", true},    {u"cbWindowsStart", false}, {u"cbDelay", false},
        {u"cbShowStatusBar", true}, {u"cbStatusBarAOT", false}, {u"cbRunWhenIdle", false},
    };
    for (const auto& [name, ticked] : boxes)
        EXPECT_EQ(box(QString::fromUtf16(name)).isChecked(), ticked)
            << QString::fromUtf16(name).toStdString();
    EXPECT_EQ(items(u"ddbStatusBarPos"_s), (QStringList{u"Top Left Corner"_s, u"Top Right Corner"_s,
                                                        u"Bottom Left Corner"_s, u"Bottom Right Corner"_s}));
    EXPECT_EQ(list(u"ddbStatusBarPos"_s).currentText(), u"Top Right Corner"_s);
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s), (QStringList{u"None"_s, u"Docs"_s, u"Music"_s}));
    EXPECT_EQ(list(u"ddbRealTimeCheck"_s).currentText(), u"Music"_s);

    // An unknown corner shows the bottom right one; a watched set that no longer exists (the letter
    // case counts) shows "None"; the empty record of a configuration without sets gets no item.
    configuration.settings.StrStatusBarPos = u"middle"_s;
    configuration.settings.StrRealTime = u"music"_s;
    dialog->Form_Load();
    EXPECT_EQ(list(u"ddbStatusBarPos"_s).currentText(), u"Bottom Right Corner"_s);
    EXPECT_EQ(list(u"ddbRealTimeCheck"_s).currentText(), u"None"_s);

    configuration.sets = BackupSets(1);
    dialog->Form_Load();
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s), QStringList{u"None"_s});
}

TEST_F(SettingsDialog, OkStoresEveryControlBeforeTheCommit)
{
    open();
    changeEveryControl();
    click(u"OKButton"_s);

    ASSERT_EQ(doneSaw.size(), 1u) << "one commit";
    const GeneralSettings expected{.StrLogFileDir = u"/srv/logs"_s,
                                   .IntLogFileSize = 999,
                                   .flLogFileOn = false,
                                   .flLogFileSuccess = true,
                                   .flLogFileErrors = false,
                                   .flLogDeletes = true,
                                   .flScreenSaver = false,
                                   .StrAltScreenSaver = u"/opt/saver.scr"_s,
                                   .flReRun = true,
                                   .IntReRunTime = 9999,
                                   .flSysTray = false,
                                   .flWindowsStart = true,
                                   .flDelay = true,
                                   .flShowStatusBar = false,
                                   .flStatusBarAOT = true,
                                   .StrStatusBarPos = u"TL"_s,
                                   .StrRealTime = u"Docs"_s,
                                   .flRunWhenIdle = true};
    EXPECT_EQ(doneSaw[0], expected) << "the commit sees every new value";
    EXPECT_EQ(configuration.settings, expected);
    EXPECT_FALSE(dialog->isVisible());

    // The same instance opens again showing the accepted values; "None" is stored as it stands.
    dialog->show();
    EXPECT_EQ(edit(u"tbLogDirectory"_s).text(), u"/srv/logs"_s);
    list(u"ddbRealTimeCheck"_s).setCurrentIndex(0);
    click(u"OKButton"_s);
    EXPECT_EQ(configuration.settings.StrRealTime, u"None"_s);
}

TEST_F(SettingsDialog, PlacesTheStatusBarAgainOnlyWhenTheCornerCodeChanges)
{
    const QPoint elsewhere(7, 9);
    open();
    statusBar.move(elsewhere);
    click(u"OKButton"_s); // "TR" stays "TR"
    EXPECT_EQ(statusBar.pos(), elsewhere);

    dialog->show();
    list(u"ddbStatusBarPos"_s).setCurrentIndex(0);
    click(u"OKButton"_s);
    EXPECT_EQ(statusBar.pos(), cornerPosition(u"TL"_s));

    // An unknown code is stored as "BR": a change, so the window is placed in that corner.
    statusBar.move(elsewhere);
    configuration.settings.StrStatusBarPos = u"XX"_s;
    dialog->Form_Load();
    dialog->show();
    click(u"OKButton"_s);
    EXPECT_EQ(configuration.settings.StrStatusBarPos, u"BR"_s);
    EXPECT_EQ(statusBar.pos(), cornerPosition(u"BR"_s));
}

TEST_F(SettingsDialog, WritesTheStartUpEntryOnlyWhenTheBoxChanged)
{
    const std::string entry = autostart.filePath().toStdString();
    const QString command = u'"' + QCoreApplication::applicationFilePath() + u"\" /W"_s;
    open();
    click(u"OKButton"_s);
    EXPECT_FALSE(std::filesystem::exists(entry)) << "unchanged: nothing written";

    dialog->show();
    box(u"cbWindowsStart"_s).setChecked(true);
    click(u"OKButton"_s);
    EXPECT_TRUE(configuration.settings.flWindowsStart);
    EXPECT_EQ(autostart.command(), command);

    // Ticked and unchanged: the entry stays as it is, even one changed behind the dialog's back.
    test::WriteFile(entry, "[Desktop Entry]\nType=Application\nName=Kelvo\nExec=\"/elsewhere/kelvo\" /W\n");
    dialog->show();
    click(u"OKButton"_s);
    EXPECT_EQ(autostart.command(), u"\"/elsewhere/kelvo\" /W"_s);

    dialog->show();
    box(u"cbWindowsStart"_s).setChecked(false);
    click(u"OKButton"_s);
    EXPECT_FALSE(configuration.settings.flWindowsStart);
    EXPECT_EQ(autostart.command(), QString());
    EXPECT_TRUE(test::ReadFile(entry).contains("Hidden=true"));
    EXPECT_TRUE(messages.stops.empty());
}

TEST_F(SettingsDialog, ReportsAStartUpEntryThatCannotBeWrittenAndKeepsTheSetting)
{
    // A file where the autostart directory should be: the entry cannot be made.
    test::WriteFile(home.configDir() + "/autostart", "not a directory");
    open();
    box(u"cbWindowsStart"_s).setChecked(true);
    click(u"OKButton"_s);
    ASSERT_EQ(messages.stops.size(), 1u);
    EXPECT_EQ(messages.stops[0].title, u"Cannot alter registry"_s);
    EXPECT_EQ(messages.stops[0].text,
              u"Error when altering windows startup registry settings : please report to "_s +
                  QString::fromUtf16(SupportAddress));
    EXPECT_TRUE(configuration.settings.flWindowsStart);
    EXPECT_EQ(doneSaw.size(), 1u) << "the settings are committed all the same";
}

TEST_F(SettingsDialog, RefusesNumbersOutsideTheSettingsRanges)
{
    open();
    QLineEdit& size = edit(u"tbfileSize"_s);
    QLineEdit& minutes = edit(u"tbrrminutes"_s);
    size.clear();
    Type(size, u"1x2-34"_s);
    EXPECT_EQ(size.text(), u"123"_s) << "digits only, at most three";
    minutes.clear();
    Type(minutes, u"123456"_s);
    EXPECT_EQ(minutes.text(), u"1234"_s);

    const GeneralSettings before = configuration.settings;
    const std::pair<const char16_t*, const char16_t*> refused[] = {
        {u"tbrrminutes", u"0"}, {u"tbrrminutes", u""}, {u"tbfileSize", u""}, {u"tbfileSize", u"-1"}};
    for (const auto& [name, text] : refused) {
        QLineEdit& field = edit(QString::fromUtf16(name));
        const QString good = field.text();
        field.setText(QString::fromUtf16(text));
        click(u"OKButton"_s);
        const std::string what =
            QString::fromUtf16(name).toStdString() + " \"" + QString::fromUtf16(text).toStdString() + '"';
        EXPECT_TRUE(dialog->isVisible()) << what;
        EXPECT_EQ(dialog->focusWidget(), &field) << what;
        EXPECT_EQ(configuration.settings, before) << what << ": nothing is stored";
        field.setText(good);
    }
    ASSERT_EQ(messages.stops.size(), 4u);
    EXPECT_EQ(messages.stops[0].text,
              u"The re-run interval must be a whole number of minutes from 1 to 9999."_s);
    EXPECT_EQ(messages.stops[2].text,
              u"The maximum log file size must be a whole number of megabytes from 0 to 999."_s);
    EXPECT_TRUE(doneSaw.empty());
}

TEST_F(SettingsDialog, CancelEscAndTheCloseBoxPutTheControlsBackAndStoreNothing)
{
    open();
    const GeneralSettings before = configuration.settings;
    const std::function<void()> ways[] = {
        [this] { click(u"CancelButton"_s); },
        [this] { PressEscape(*dialog); },
        [this] { dialog->close(); },
    };
    for (const auto& leave : ways) {
        dialog->show();
        changeEveryControl();
        leave();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(configuration.settings, before);
        EXPECT_EQ(edit(u"tbLogDirectory"_s).text(), u"/var/log/kelvo/"_s);
        EXPECT_EQ(edit(u"tbrrminutes"_s).text(), u"60"_s);
        EXPECT_TRUE(box(u"cbLogFile"_s).isChecked());
        EXPECT_FALSE(box(u"cbWindowsStart"_s).isChecked());
        EXPECT_EQ(list(u"ddbStatusBarPos"_s).currentText(), u"Top Right Corner"_s);
        EXPECT_EQ(list(u"ddbRealTimeCheck"_s).currentText(), u"Music"_s);
    }
    EXPECT_TRUE(doneSaw.empty());
    EXPECT_FALSE(std::filesystem::exists(autostart.filePath().toStdString()));

    // Cancel refills the real-time list, so it shows a set added since the dialog was made.
    configuration.sets.push_back(Set(u"Photos"_s));
    dialog->show();
    click(u"CancelButton"_s);
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s), (QStringList{u"None"_s, u"Docs"_s, u"Music"_s, u"Photos"_s}));
}

TEST_F(SettingsDialog, StaysOpenWithTheEnteredValuesWhenTheCommitFails)
{
    doneSucceeds = false;
    open();
    edit(u"tbLogDirectory"_s).setText(u"/srv/logs"_s);
    click(u"OKButton"_s);
    EXPECT_EQ(doneSaw.size(), 1u);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(edit(u"tbLogDirectory"_s).text(), u"/srv/logs"_s);

    doneSucceeds = true;
    click(u"OKButton"_s);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(SettingsDialog, BrowseButtonsKeepTheFieldWhenNothingIsChosen)
{
    const std::string saverFolder = home.dir() / "savers";
    std::filesystem::create_directories(saverFolder);
    configuration.settings.StrAltScreenSaver = QString::fromStdString(saverFolder + "/old.scr");
    open();

    click(u"Command1"_s);
    EXPECT_EQ(edit(u"tbLogDirectory"_s).text(), u"/var/log/kelvo/"_s) << "cancelled";
    folderChosen = u"/srv/logs"_s;
    click(u"Command1"_s);
    EXPECT_EQ(edit(u"tbLogDirectory"_s).text(), u"/srv/logs"_s);

    click(u"Command2"_s);
    EXPECT_EQ(edit(u"tbAltScreenSaver"_s).text(), configuration.settings.StrAltScreenSaver) << "cancelled";
    fileChosen = u"/opt/new.scr"_s;
    edit(u"tbAltScreenSaver"_s).clear();
    click(u"Command2"_s);
    EXPECT_EQ(edit(u"tbAltScreenSaver"_s).text(), u"/opt/new.scr"_s);

    const QString filter = u"Screen Saver (*.scr);;All Files (*)"_s;
    EXPECT_EQ(browsed, (QStringList{u"Choose a file|/var/log/kelvo/"_s, u"Choose a file|/var/log/kelvo/"_s,
                                    filter + u'|' + QString::fromStdString(saverFolder),
                                    filter + u'|' + QDir::homePath()}));
}

} // namespace
} // namespace kelvo
