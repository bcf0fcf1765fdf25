#pragma once

#include "config/AppState.h"
#include "config/Configuration.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"
#include "support/Application.h"
#include "support/StoredSets.h"
#include "support/TestSupport.h"
#include "ui/RecordingMessages.h"
#include "ui/frmConfig.h"
#include "ui/frmOptions.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo::test {

using namespace Qt::StringLiterals;

// Edit Sets over a store of the sets One, Two and Three, whose sources exist; the commands that other
// windows answer are noted in ran.
class SetEditor : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureApplication<QApplication>(); }

    SetEditor()
    {
        for (const char* name : {"One", "Two", "Three"}) {
            std::filesystem::create_directories(home.dir() / name);
            StoreSet(store, QString::fromLatin1(name), home.dir() / name,
                     home.dir() / ("backup/" + std::string(name)));
        }
    }

    std::unique_ptr<frmConfig> makeEditor()
    {
        frmConfigParts parts{configuration,
                             app,
                             messages,
                             [this](const SetsDraft& draft) {
                                 if (saveFails)
                                     throw Failure(ErrDiskFull, home.configDir());
                                 CommitDraft(store, configuration, draft);
                             },
                             [this] { LoadConfiguration(store, configuration); },
                             [this] { ++exits; },
                             [this] { ++statusBarShown; },
                             [this] { ran << u"settings"_s; },
                             [] { return false; },
                             {},
                             [this] { ran << u"about"_s; },
                             [this](const QString& topic) { ran << u"help:"_s + topic; },
                             {}};
        auto editor = std::make_unique<frmConfig>(std::move(parts));
        editor->Form_Load();
        return editor;
    }

    // "One Two" for {"One", "Two"}: the lists of set names the tests compare.
    static QStringList names(const char* spaced)
    {
        return QString::fromUtf8(spaced).split(u' ', Qt::SkipEmptyParts);
    }

    // What the grid shows, row by row, checked against the array it must mirror.
    static QStringList gridNames(frmConfig& editor)
    {
        QStringList names;
        const SetListModel& model = editor.model();
        const BackupSets& sets = editor.sets();
        EXPECT_EQ(std::size_t(std::max(1, model.rowCount())), sets.size());
        for (int row = 0; row < model.rowCount(); ++row) {
            names << model.index(row, 1).data().toString();
            EXPECT_EQ(names.back(), sets[std::size_t(row)].SetName);
            EXPECT_EQ(model.index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked,
                      sets[std::size_t(row)].flEnabled);
        }
        return names;
    }

    static void fillNewSet(frmOptions& dialog, const QString& name, const std::string& source,
                           const QString& destination)
    {
        dialog.PrepareAdd();
        dialog.tbSetName.setText(name);
        dialog.tbSourceDirectoryFile.setText(QString::fromStdString(source));
        dialog.tbDestinationDirectory.setText(destination);
    }

    IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration{{}, BackupSets(1), {}};
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    RecordingMessages messages;
    bool saveFails = false;
    int exits = 0;
    int statusBarShown = 0;
    QStringList ran;
};

} // namespace kelvo::test
