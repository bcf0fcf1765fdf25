#include "config/Configuration.h"
#include "engine/Clock.h"
#include "engine/SetRunLock.h"
#include "support/Application.h"
#include "support/TestSupport.h"
#include "ui/frmRestore.h"

#include <QApplication>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace kelvo::test {

using namespace Qt::StringLiterals;

namespace {

// Holds the set's run lock as a run of it would; the lock is free, so nothing is ever shown.
class QuietObserver final : public RunObserver
{
public:
    void statisticsChanged(const RunStatistics&) override {}
    void currentFileChanged(const QString&) override {}
    void fileProgressChanged(int) override {}
    void overallProgressChanged(int) override {}
    void copyActive(bool) override {}
    void reRunTimerEnabled(bool) override {}
    void screenSaverStep() override {}
    void letEventsRun() override {}
    bool stopRequested() const override { return false; }
};

void WriteFileAt(const std::string& path, const char* contents, int daysAgo)
{
    WriteFile(path, contents);
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() -
                                               std::chrono::hours(24 * daysAgo));
}

} // namespace

// The set "Docs" keeps numbered copies: its backup holds report.txt (version 1), an older report.txt.1
// (version 2) and only a kept copy of the deleted gone.txt; the user has changed report.txt since.
class RestoreWindow : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureApplication<QApplication>(); }

    RestoreWindow()
    {
        std::filesystem::create_directories(home.dir() / "docs");
        std::filesystem::create_directories(home.dir() / "backup");
        WriteFileAt(source("report.txt"), "changed since", 0);
        WriteFileAt(backup("report.txt"), "version one", 1);
        WriteFileAt(backup("report.txt.1"), "version two", 2);
        WriteFileAt(backup("gone.txt.1"), "deleted", 3);
        BackupSet docs = NewBackupSet(u"Docs"_s);
        docs.SourceDirFile = QString::fromStdString(home.dir() / "docs");
        docs.DestDir = QString::fromStdString(home.dir() / "backup");
        docs.flArchive = true;
        BackupSet other = docs;
        other.SetName = u"Other"_s;
        configuration.sets = {other, docs};
        window.Form_Load(u"Docs"_s);
        window.show();
    }

    std::string source(const char* name) const { return home.dir() / ("docs/" + std::string(name)); }
    std::string backup(const char* name) const { return home.dir() / ("backup/" + std::string(name)); }
    template <typename Widget> Widget& control(const char* name)
    {
        return *window.findChild<Widget*>(QString::fromLatin1(name));
    }

    // The names under the set's own folder, and report.txt chosen there at version 2.
    QStringList chooseReportVersion2()
    {
        auto& files = control<QTreeView>("tvwFiles");
        const QModelIndex top = files.model()->index(0, 0);
        QStringList names;
        for (int row = 0; row < files.model()->rowCount(top); ++row)
            names << files.model()->index(row, 0, top).data().toString();
        files.setCurrentIndex(files.model()->index(int(names.indexOf(u"report.txt"_s)), 0, top));
        auto& versions = control<QTreeWidget>("lvwVersions");
        if (versions.topLevelItemCount() == 2)
            versions.setCurrentItem(versions.topLevelItem(1));
        return names;
    }

    QString summary() { return control<QLabel>("lblSummary").text(); }

    IsolatedHome home;
    Configuration configuration;
    SystemClock clock;
    QStringList helpShown;
    frmRestore window{
        frmRestoreParts{configuration, clock, [this](const QString& topic) { helpShown << topic; }, {}}};
};

TEST_F(RestoreWindow, PutsTheChosenVersionBackAndKeepsTheChangedFileBesideIt)
{
    EXPECT_EQ(control<QComboBox>("cboSet").currentText(), u"Docs"_s);
    EXPECT_EQ(chooseReportVersion2(), QStringList({u"gone.txt"_s, u"report.txt"_s}));
    auto& versions = control<QTreeWidget>("lvwVersions");
    ASSERT_EQ(versions.topLevelItemCount(), 2);
    EXPECT_EQ(versions.topLevelItem(1)->text(0), u"2"_s);
    EXPECT_TRUE(versions.topLevelItem(1)->text(3).endsWith(u"/backup/report.txt.1"_s));

    control<QPushButton>("cmdRestore").click();
    ASSERT_TRUE(SpinUntil([&] { return !window.restoring(); }));
    EXPECT_EQ(ReadFile(source("report.txt")), "version two");
    QStringList kept;
    for (const auto& entry : std::filesystem::directory_iterator(home.dir() / "docs")) {
        if (entry.path().filename().string().starts_with("report.txt.before-restore-"))
            kept << QString::fromUtf8(ReadFile(entry.path().string()));
    }
    EXPECT_EQ(kept, QStringList{u"changed since"_s});
    EXPECT_EQ(summary(), u"Done: 1 restored, 0 unchanged, 1 kept aside, 0 errors."_s);
    EXPECT_EQ(ReadFile(backup("report.txt.1")), "version two") << "the backup is only read";

    QTest::keyClick(&window, Qt::Key_F1);
    EXPECT_EQ(helpShown, QStringList{u"restore.html"_s});
}

// A run of the set holds its lock: the restore waits for it, without holding the window up, until Stop;
// closing the window during a restore stops it and waits for its end.
TEST_F(RestoreWindow, StopsARestoreThatWaitsForARunAndCloseWaitsForItsEnd)
{
    QuietObserver observer;
    std::optional<SetRunLock> run;
    run.emplace(u"Docs"_s, observer, [] {});
    chooseReportVersion2();
    control<QPushButton>("cmdRestore").click();
    ASSERT_TRUE(SpinUntil([&] { return summary().startsWith(u"Waiting"_s); }));
    EXPECT_TRUE(control<QPushButton>("cmdStop").isEnabled());
    EXPECT_FALSE(control<QPushButton>("cmdRestore").isEnabled());
    control<QPushButton>("cmdStop").click();
    ASSERT_TRUE(SpinUntil([&] { return !window.restoring(); }));
    EXPECT_EQ(summary(), u"Stopped: 0 restored, 0 unchanged, 0 kept aside, 0 errors."_s);

    control<QPushButton>("cmdRestore").click();
    ASSERT_TRUE(SpinUntil([&] { return summary().startsWith(u"Waiting"_s); }));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    run.reset(); // a restore still waiting would go on now
    ASSERT_TRUE(SpinUntil([&] { return !window.restoring(); }));
    EXPECT_TRUE(summary().startsWith(u"Stopped:"_s));
    EXPECT_EQ(ReadFile(source("report.txt")), "changed since");
}

} // namespace kelvo::test
