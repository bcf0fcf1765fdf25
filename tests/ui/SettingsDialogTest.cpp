#include "config/GeneralSettingKeys.h"
#include "platform/AutostartEntry.h"
#include "ui/UiTest.h"
#include "ui/frmMainConfig.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

namespace kelvo::test {
namespace {

const GeneralSettings SomeSettings{.StrLogFileDir = u"/var/log/kelvo/"_s,
                                   .IntLogFileSize = 20,
                                   .flLogFileOn = true,
                                   .flScreenSaver = true,
                                   .StrAltScreenSaver = u"/usr/bin/xlock"_s,
                                   .IntReRunTime = 60,
                                   .StrStatusBarPos = u"TR"_s,
                                   .StrRealTime = u"Music"_s};
// The settings dialog over the sets Docs and Music; done notes each commit it sees and answers as told.
class SettingsDialog : public WindowTest
{
protected:
    SettingsDialog()
    {
        configuration = {SomeSettings, {NewBackupSet(u"Docs"_s), NewBackupSet(u"Music"_s)}, {}};
        const auto done = [this] {
            doneSaw.push_back(configuration.settings);
            return doneSucceeds;
        };
        dialog = std::make_unique<frmMainConfig>(
            frmMainConfigParts{configuration, statusBar, autostart, messages, done, nullptr});
        dialog->show();
    }

    template <typename T = QLineEdit> T& control(const QString& name) const
    {
        return *dialog->findChild<T*>(name);
    }
    void click(const QString& button) const { control<QPushButton>(button).click(); }
    void ok() const { click(u"OKButton"_s); }
    // Every text box and check box with the other value, and the first corner and set chosen.
    void changeEveryControl() const
    {
        for (const char* boxAndText :
             {"tbLogDirectory=/srv/logs", "tbfileSize=999", "tbAltScreenSaver=/opt/saver.scr",
              "tbrrminutes=9999", "tbStaleDays=365"}) {
            const QStringList parts = QString::fromLatin1(boxAndText).split(u'=');
            control(parts[0]).setText(parts[1]);
        }
        for (QCheckBox* checkBox : dialog->findChildren<QCheckBox*>())
            checkBox->setChecked(!checkBox->isChecked());
        control<QComboBox>(u"ddbStatusBarPos"_s).setCurrentIndex(0);
        control<QComboBox>(u"ddbRealTimeCheck"_s).setCurrentIndex(1);
    }

    AutostartEntry autostart; // in the isolated home
    bool doneSucceeds = true;
    std::vector<GeneralSettings> doneSaw;
    std::unique_ptr<frmMainConfig> dialog;
};

// Cancel, Esc and the close box put every control back and store nothing; each number box refuses what lies
// outside its setting's range in the table, with the focus on it; OK stores every control before the one
// commit, and a failed commit keeps the dialog open with what the user entered.
TEST_F(SettingsDialog, OkStoresEveryControlBeforeTheCommitAndOnlyOk)
{
    doneSucceeds = false;
    const std::function<void()> ways[] = {[this] { click(u"CancelButton"_s); },
                                          [this] { QTest::keyClick(dialog.get(), Qt::Key_Escape); },
                                          [this] { dialog->close(); }};
    for (const auto& leave : ways) {
        dialog->show();
        changeEveryControl();
        leave();
        EXPECT_FALSE(dialog->isVisible());
        EXPECT_EQ(configuration.settings, SomeSettings);
    }
    EXPECT_FALSE(fs::exists(autostart.filePath().toStdString()));
    dialog->show();
    for (const auto& [box, name] : {std::pair{u"tbfileSize"_s, "IntLogFileSize"},
                                    {u"tbrrminutes"_s, "IntReRunTime"},
                                    {u"tbStaleDays"_s, "IntStaleDays"}}) {
        const GeneralSettingKey& key = *std::ranges::find_if(
            GeneralSettingKeys(), [&](const GeneralSettingKey& k) { return k.name == std::string(name); });
        QLineEdit& field = control(box);
        const QString good = field.text();
        for (const QString& text :
             {QString::number(key.minimum - 1), QString::number(key.maximum + 1), QString()}) {
            if (text.size() > field.maxLength())
                continue; // the box takes no more digits than the largest value has
            field.setText(text);
            ok();
            EXPECT_TRUE(dialog->isVisible() && dialog->focusWidget() == &field) << name << text.toStdString();
            EXPECT_TRUE(messages.last().endsWith(u"from %1 to %2."_s.arg(key.minimum).arg(key.maximum)))
                << name;
        }
        field.setText(good);
    }
    EXPECT_EQ(configuration.settings, SomeSettings);
    ok(); // had any control kept its change, OK would store it now
    ASSERT_EQ(doneSaw, std::vector{SomeSettings});

    changeEveryControl();
    ok();
    GeneralSettings expected{.StrLogFileDir = u"/srv/logs"_s,
                             .IntLogFileSize = 999,
                             .StrAltScreenSaver = u"/opt/saver.scr"_s,
                             .IntReRunTime = 9999,
                             .StrStatusBarPos = u"TL"_s,
                             .StrRealTime = u"Docs"_s,
                             .IntStaleDays = 365};
    for (const GeneralSettingKey& key : GeneralSettingKeys())
        if (const auto* box = std::get_if<GeneralSettingKey::BoolField>(&key.field))
            expected.*(*box) = !(SomeSettings.*(*box));
    EXPECT_EQ(doneSaw, (std::vector{SomeSettings, expected})) << "one commit, and it sees every new value";
    EXPECT_TRUE(dialog->isVisible() && control(u"tbLogDirectory"_s).text() == u"/srv/logs"_s);
    doneSucceeds = true;
    ok();
    EXPECT_EQ(configuration.settings, expected);
    EXPECT_FALSE(dialog->isVisible());
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
    okWithBox(false);
    EXPECT_FALSE(fs::exists(entry)) << "unchanged: nothing written";
    okWithBox(true);
    EXPECT_EQ(autostart.command(), u'"' + QCoreApplication::applicationFilePath() + u"\" /W"_s);
    // Ticked and unchanged: the entry stays as it is, even one changed behind the dialog's back.
    WriteFile(entry, "[Desktop Entry]\nType=Application\nName=Kelvo\nExec=\"/elsewhere/kelvo\" /W\n");
    okWithBox(true);
    EXPECT_EQ(autostart.command(), u"\"/elsewhere/kelvo\" /W"_s);
    okWithBox(false);
    EXPECT_TRUE(ReadFile(entry).contains("Hidden=true"));
    EXPECT_TRUE(messages.stops.isEmpty());
    // A file where the autostart directory should be: reported, and committed all the same.
    fs::remove_all(home.configDir() + "/autostart");
    WriteFile(home.configDir() + "/autostart", "not a directory");
    okWithBox(true);
    ASSERT_EQ(messages.stops.size(), 1);
    EXPECT_TRUE(messages.stops[0].startsWith(u"Cannot change the start-up entry|Error when changing"_s));
    EXPECT_EQ(doneSaw.size(), 5u);
}

} // namespace
} // namespace kelvo::test
