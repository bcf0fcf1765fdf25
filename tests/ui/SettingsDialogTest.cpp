#include "config/Configuration.h"
#include "config/GeneralSettingKeys.h"
#include "platform/AutostartEntry.h"
#include "support/Application.h"
#include "support/TestSupport.h"
#include "ui/MessageBoxes.h"
#include "ui/RecordingMessages.h"
#include "ui/frmMainConfig.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

const GeneralSettings SomeSettings{.StrLogFileDir = u"/var/log/kelvo/"_s,
                                   .IntLogFileSize = 20,
                                   .flLogFileOn = true,
                                   .flScreenSaver = true,
                                   .StrAltScreenSaver = u"/usr/bin/xlock"_s,
                                   .IntReRunTime = 60,
                                   .StrStatusBarPos = u"TR"_s,
                                   .StrRealTime = u"Music"_s};

class SettingsDialog : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }

    void SetUp() override
    {
        configuration.sets.emplace_back().SetName = u"Docs"_s;
        configuration.sets.emplace_back().SetName = u"Music"_s;
    }

    void open()
    {
        const auto browse = [this](QWidget*, const QString& what, const QString& start, ChosenPath found) {
            browsed << what + u'|' + start;
            found(chosen);
        };
        dialog = std::make_unique<frmMainConfig>(
            frmMainConfigParts{configuration, statusBar, autostart, messages, [this] { return done(); },
                               [this](const QString& topic) { browsed << topic; }, browse, browse});
        dialog->show();
    }

    bool done()
    {
        doneSaw.push_back(configuration.settings);
        return doneSucceeds;
    }

    template <typename T = QLineEdit> T& control(const QString& name) const
    {
        T* widget = dialog->findChild<T*>(name);
        return widget ? *widget : throw std::runtime_error("no control " + name.toStdString());
    }
    QComboBox& list(const QString& name) const { return control<QComboBox>(name); }
    void click(const QString& button) const { control<QPushButton>(button).click(); }
    void ok() const { click(u"OKButton"_s); }

    QStringList items(const QString& name) const
    {
        QStringList texts;
        for (int i = 0; i < list(name).count(); ++i)
            texts << list(name).itemText(i);
        return texts;
    }

    // Every text box and check box with the other value, and the first corner and set chosen.
    void changeEveryControl() const
    {
        control(u"tbLogDirectory"_s).setText(u"/srv/logs"_s);
        control(u"tbfileSize"_s).setText(u"999"_s);
        control(u"tbAltScreenSaver"_s).setText(u"/opt/saver.scr"_s);
        control(u"tbrrminutes"_s).setText(u"9999"_s);
        control(u"tbStaleDays"_s).setText(u"365"_s);
        for (QCheckBox* checkBox : dialog->findChildren<QCheckBox*>())
            checkBox->setChecked(!checkBox->isChecked());
        list(u"ddbStatusBarPos"_s).setCurrentIndex(0);
        list(u"ddbRealTimeCheck"_s).setCurrentIndex(1);
    }

    test::IsolatedHome home;
    Configuration configuration{SomeSettings, {}, {}};
    frmStatusBar statusBar{configuration, [] { return QGuiApplication::primaryScreen(); }, {}};
    AutostartEntry autostart; // in the isolated home
    test::RecordingMessages messages;
    bool doneSucceeds = true;
    std::vector<GeneralSettings> doneSaw;
    QStringList browsed;
    QString chosen;
    std::unique_ptr<frmMainConfig> dialog;
};

TEST_F(SettingsDialog, OkStoresEveryControlBeforeTheCommitAndStaysOpenWhenTheCommitFails)
{
    doneSucceeds = false;
    open();
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s), (QStringList{u"None"_s, u"Docs"_s, u"Music"_s}));
    EXPECT_EQ(list(u"ddbRealTimeCheck"_s).currentText(), u"Music"_s);

    changeEveryControl();
    ok();
    GeneralSettings expected = SomeSettings;
    for (const GeneralSettingKey& key : GeneralSettingKeys()) {
        if (const auto* box = std::get_if<GeneralSettingKey::BoolField>(&key.field))
            expected.*(*box) = !(expected.*(*box));
    }
    expected.StrLogFileDir = u"/srv/logs"_s;
    expected.IntLogFileSize = 999;
    expected.StrAltScreenSaver = u"/opt/saver.scr"_s;
    expected.IntReRunTime = 9999;
    expected.IntStaleDays = 365;
    expected.StrStatusBarPos = u"TL"_s;
    expected.StrRealTime = u"Docs"_s;
    ASSERT_EQ(doneSaw, std::vector{expected}) << "one commit, and it sees every new value";
    EXPECT_TRUE(dialog->isVisible()) << "a failed commit keeps what the user entered";
    EXPECT_EQ(control(u"tbLogDirectory"_s).text(), u"/srv/logs"_s);
    doneSucceeds = true;
    ok();
    EXPECT_EQ(configuration.settings, expected);
    EXPECT_FALSE(dialog->isVisible());
}

// An unknown corner shows the bottom right one and a missing set "None"; OK stores them as shown.
TEST_F(SettingsDialog, StoresWhatTheListsShowAndPlacesTheStatusBarWhenTheCornerChanges)
{
    const auto corner = [this](StatusBarCorner code) {
        return StatusBarPosition(code, QGuiApplication::primaryScreen()->availableGeometry(),
                                 statusBar.size());
    };
    const QPoint elsewhere(7, 9);
    configuration.settings.StrStatusBarPos = u"XX"_s;
    configuration.settings.StrRealTime = u"music"_s; // the letter case counts
    open();
    EXPECT_EQ(list(u"ddbStatusBarPos"_s).currentText(), u"Bottom Right Corner"_s);
    configuration.sets.emplace_back().SetName = u"Photos"_s;
    statusBar.move(elsewhere);
    ok();
    EXPECT_EQ(configuration.settings.StrStatusBarPos, u"BR"_s);
    EXPECT_EQ(configuration.settings.StrRealTime, u"None"_s);
    EXPECT_EQ(statusBar.pos(), corner(StatusBarCorner::BottomRight)) << "a new code, so placed again";

    statusBar.move(elsewhere);
    dialog->show();
    ok();
    EXPECT_EQ(statusBar.pos(), elsewhere) << "the same code";
    dialog->show();
    list(u"ddbStatusBarPos"_s).setCurrentIndex(0);
    ok();
    EXPECT_EQ(statusBar.pos(), corner(StatusBarCorner::TopLeft));

    // Only Cancel fills the set list again; the empty record of a configuration without sets is no item.
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s).size(), 3);
    dialog->show();
    click(u"CancelButton"_s);
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s), (QStringList{u"None"_s, u"Docs"_s, u"Music"_s, u"Photos"_s}));
    configuration.sets = BackupSets(1);
    dialog->Form_Load();
    EXPECT_EQ(items(u"ddbRealTimeCheck"_s), QStringList{u"None"_s});
}

TEST_F(SettingsDialog, WritesTheStartUpEntryOnlyWhenTheBoxChangedAndReportsAFailure)
{
    const std::string entry = autostart.filePath().toStdString();
    const auto okWithBox = [this](bool ticked) {
        dialog->show();
        control<QCheckBox>(u"cbWindowsStart"_s).setChecked(ticked);
        ok();
        EXPECT_EQ(configuration.settings.flWindowsStart, ticked);
    };
    open();
    okWithBox(false);
    EXPECT_FALSE(std::filesystem::exists(entry)) << "unchanged: nothing written";
    okWithBox(true);
    EXPECT_EQ(autostart.command(), u'"' + QCoreApplication::applicationFilePath() + u"\" /W"_s);

    // Ticked and unchanged: the entry stays as it is, even one changed behind the dialog's back.
    test::WriteFile(entry, "[Desktop "
                           "Entry]\nType=Application\nName=Kelvo\nExec=\"/elsewhere/kelvo\" /W\n");
    okWithBox(true);
    EXPECT_EQ(autostart.command(), u"\"/elsewhere/kelvo\" /W"_s);
    okWithBox(false);
    EXPECT_TRUE(test::ReadFile(entry).contains("Hidden=true"));
    EXPECT_TRUE(messages.stops.isEmpty());

    // A file where the autostart directory should be: reported, and committed all the same.
    std::filesystem::remove_all(home.configDir() + "/autostart");
    test::WriteFile(home.configDir() + "/autostart", "not a directory");
    okWithBox(true);
    EXPECT_EQ(messages.stops, QStringList{u"Cannot change the start-up entry|Error when changing the "
                                          u"start-up entry : please report to "_s +
                                          QString::fromUtf16(SupportAddress)});
    EXPECT_EQ(doneSaw.size(), 5u);
}

// Each number box refuses what lies outside its setting's range in the table, and keeps the focus.
TEST_F(SettingsDialog, RefusesNumbersOutsideTheSettingsRangesWithTheFocusOnTheField)
{
    open();
    QLineEdit& size = control(u"tbfileSize"_s);
    size.clear();
    QTest::keyClicks(&size, u"1x2-34"_s);
    EXPECT_EQ(size.text(), u"123"_s) << "digits only, as many as the largest value has";

    const GeneralSettings before = configuration.settings;
    const std::pair<const char*, const char*> boxes[] = {
        {"tbfileSize", "IntLogFileSize"}, {"tbrrminutes", "IntReRunTime"}, {"tbStaleDays", "IntStaleDays"}};
    for (const auto& [box, name] : boxes) {
        const auto& keys = GeneralSettingKeys();
        const auto key =
            std::find_if(keys.begin(), keys.end(), [&](auto& k) { return k.name == std::string(name); });
        QLineEdit& field = control(QString::fromLatin1(box));
        const QString good = field.text();
        for (const QString& text :
             {QString::number(key->minimum - 1), QString::number(key->maximum + 1), QString()}) {
            if (text.size() > field.maxLength())
                continue; // the box takes no more digits than the largest value has
            field.setText(text);
            ok();
            EXPECT_TRUE(dialog->isVisible()) << name << " " << text.toStdString();
            EXPECT_EQ(dialog->focusWidget(), &field) << name << " " << text.toStdString();
            EXPECT_TRUE(
                messages.stops.last().endsWith(u"from %1 to %2."_s.arg(key->minimum).arg(key->maximum)))
                << messages.stops.last().toStdString();
        }
        field.setText(good);
    }
    EXPECT_EQ(configuration.settings, before);
    EXPECT_TRUE(doneSaw.empty());
}

TEST_F(SettingsDialog, CancelEscAndTheCloseBoxPutEveryControlBackAndStoreNothing)
{
    open();
    const GeneralSettings before = configuration.settings;
    const std::function<void()> ways[] = {
        [this] { click(u"CancelButton"_s); },
        [this] { QTest::keyClick(dialog.get(), Qt::Key_Escape); },
        [this] { dialog->close(); },
    };
    for (const auto& leave : ways) {
        dialog->show();
        changeEveryControl();
        leave();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(configuration.settings, before);
        EXPECT_TRUE(doneSaw.empty());
        // Had any control kept its change, OK would store it now.
        dialog->show();
        ok();
        EXPECT_EQ(doneSaw, std::vector{before});
        doneSaw.clear();
    }
    EXPECT_FALSE(std::filesystem::exists(autostart.filePath().toStdString()));
}

TEST_F(SettingsDialog, BrowseButtonsStartAtTheFieldAndKeepItWhenNothingIsChosen)
{
    const QString folder = QString::fromStdString(home.dir().path());
    configuration.settings.StrAltScreenSaver = folder + u"/old.scr"_s;
    open();
    click(u"Command1"_s);
    click(u"Command2"_s);
    click(u"Command3"_s);
    EXPECT_EQ(control(u"tbLogDirectory"_s).text(), u"/var/log/kelvo/"_s);
    EXPECT_EQ(control(u"tbAltScreenSaver"_s).text(), configuration.settings.StrAltScreenSaver);
    EXPECT_EQ(browsed,
              (QStringList{u"Choose a file|/var/log/kelvo/"_s,
                           u"Screen Saver (*.scr);;All Files (*)|"_s + folder, u"mainconfig.html"_s}));
    chosen = u"/opt/chosen"_s;
    click(u"Command1"_s);
    EXPECT_EQ(control(u"tbLogDirectory"_s).text(), chosen);
}

} // namespace
} // namespace kelvo
