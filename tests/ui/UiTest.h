#pragma once

#include "config/AppState.h"
#include "engine/Clock.h"
#include "support/Application.h"
#include "support/StoredSets.h"
#include "support/TestSupport.h"
#include "ui/RecordingMessages.h"
#include "ui/frmStatusBar.h"

#include <QApplication>
#include <QTest>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo::test {

using namespace Qt::StringLiterals;
namespace fs = std::filesystem;

// What a person reads in a tool tip: QToolTip shows it as markup when Qt::mightBeRichText says it may be.
inline QString VisibleToolTip(const QString& toolTip)
{
    QTextDocument document;
    document.setHtml(toolTip);
    return Qt::mightBeRichText(toolTip) ? document.toPlainText() : toolTip;
}

// A window's world: its own home and store, the configuration in memory, the status bar, and the
// message boxes and commands that other windows answer, each noted in ran.
class WindowTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { EnsureApplication<QApplication>(); }

    std::function<void()> note(const QString& what)
    {
        return [this, what] { ran << what; };
    }

    IsolatedHome home;
    SettingsStore store{QString::fromStdString(home.configDir())};
    Configuration configuration{{}, BackupSets(1), {}};
    AppState app{RunModeApplication, {}, {}, 0, 0, false};
    SystemClock clock;
    frmStatusBar statusBar{configuration, [] { return QGuiApplication::primaryScreen(); }, {}};
    RecordingMessages messages;
    QStringList ran;
};

} // namespace kelvo::test
