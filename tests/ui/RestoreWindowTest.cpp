#include "engine/SetRunLock.h"
#include "ui/UiTest.h"
#include "ui/frmRestore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kelvo::test {
namespace {

// The set Docs keeps numbered copies: its backup holds report.txt (version 1), an older report.txt.1 (version
// 2) and only a kept copy of the deleted gone.txt; the user has changed report.txt since.
class RestoreWindow : public WindowTest
{
protected:
    RestoreWindow()
    {
        fs::create_directories(home.dir() / "docs");
        fs::create_directories(home.dir() / "backup");
        for (const auto& [path, contents, daysAgo] : {std::tuple{source("report.txt"), "changed since", 0},
                                                      {backup("report.txt"), "version one", 1},
                                                      {backup("report.txt.1"), "version two", 2},
                                                      {backup("gone.txt.1"), "deleted", 3}}) {
            WriteFile(path, contents);
            fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(24 * daysAgo));
        }
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
    template <typename Widget = QPushButton> Widget& control(const char* name)
    {
        return *window.findChild<Widget*>(QString::fromLatin1(name));
    }

    QString summary() { return control<QLabel>("lblSummary").text(); }
    bool summaryReads(const QString& start)
    {
        return SpinUntil([&] { return summary().startsWith(start); });
    }

    frmRestore window{frmRestoreParts{configuration, clock, {}, {}}};
};

// A run of the set in another process holds its lock: a restore waits for it, without holding the window up,
// until Stop; closing the window stops a waiting restore and waits for its end. With the lock free, the
// chosen version is put back, the changed file kept beside it, and the backup only read.
TEST_F(RestoreWindow, WaitsForARunUntilStopOrCloseThenPutsTheChosenVersionBack)
{
    EXPECT_EQ(control<QComboBox>("cboSet").currentText(), u"Docs"_s);
    auto& files = control<QTreeView>("tvwFiles");
    const QModelIndex top = files.model()->index(0, 0); // the set's own folder
    ASSERT_EQ(files.model()->rowCount(top), 2);
    EXPECT_EQ(files.model()->index(0, 0, top).data().toString(), u"gone.txt"_s);
    files.setCurrentIndex(files.model()->index(1, 0, top));
    auto& versions = control<QTreeWidget>("lvwVersions");
    ASSERT_EQ(versions.topLevelItemCount(), 2);
    versions.setCurrentItem(versions.topLevelItem(1));
    EXPECT_EQ(versions.topLevelItem(1)->text(0), u"2"_s);
    EXPECT_TRUE(versions.topLevelItem(1)->text(3).endsWith(u"/backup/report.txt.1"_s));

    const fs::path lock = SetRunLock::PathFor(u"Docs"_s).toStdString();
    fs::create_directories(lock.parent_path());
    const int run = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(run, LOCK_EX), 0);
    control("cmdRestore").click();
    ASSERT_TRUE(summaryReads(u"Waiting"_s));
    EXPECT_TRUE(control("cmdStop").isEnabled() && !control("cmdRestore").isEnabled());
    control("cmdStop").click();
    ASSERT_TRUE(summaryReads(u"Stopped: 0 restored, 0 unchanged, 0 kept aside, 0 errors."_s));
    control("cmdRestore").click();
    ASSERT_TRUE(summaryReads(u"Waiting"_s));
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.isVisible());
    ::close(run); // a restore still waiting would go on now
    ASSERT_TRUE(summaryReads(u"Stopped:"_s));
    EXPECT_EQ(ReadFile(source("report.txt")), "changed since");

    window.show();
    control("cmdRestore").click();
    ASSERT_TRUE(summaryReads(u"Done: 1 restored, 0 unchanged, 1 kept aside, 0 errors."_s));
    EXPECT_EQ(ReadFile(source("report.txt")), "version two");
    QStringList kept;
    for (const auto& entry : fs::directory_iterator(home.dir() / "docs"))
        if (entry.path().filename().string().starts_with("report.txt.before-restore-"))
            kept << QString::fromUtf8(ReadFile(entry.path()));
    EXPECT_EQ(kept, QStringList{u"changed since"_s});
    EXPECT_EQ(ReadFile(backup("report.txt.1")), "version two") << "the backup is only read";
}

} // namespace
} // namespace kelvo::test
