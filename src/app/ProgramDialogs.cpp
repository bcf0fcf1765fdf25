#include "app/ProgramDialogs.h"

#include "platform/SettingsStore.h"
#include "ui/MessageBoxes.h"
#include "ui/OpenDialog.h"
#include "ui/frmAbout.h"
#include "ui/frmConfig.h"
#include "ui/frmMainConfig.h"
#include "ui/frmRestore.h"
#include "ui/frmStatusBar.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>

namespace kelvo {

using namespace Qt::StringLiterals;

ProgramDialogs::ProgramDialogs(ProgramDialogsParts parts) : m_parts(std::move(parts)) {}

ProgramDialogs::~ProgramDialogs() = default;

void ProgramDialogs::loadConfiguration()
{
    LoadConfiguration(m_parts.store, m_parts.configuration, [this] { ImportDoneWindowSteps(); });
}

void ProgramDialogs::ImportDoneWindowSteps()
{
    if (m_parts.app.RunMode == RunModeConfig || m_parts.app.RunMode == RunModeScreenSaver)
        m_parts.exitProgram();
}

void ProgramDialogs::statusBarVisible()
{
    m_parts.statusBar().StatusBarVisible();
}

frmConfig& ProgramDialogs::editor()
{
    if (!m_editor) {
        frmConfigParts parts{m_parts.configuration,
                             m_parts.app,
                             m_parts.messages,
                             [this](const SetsDraft& draft) {
                                 CommitDraft(m_parts.store, m_parts.configuration, draft);
                                 if (m_parts.setsCommitted)
                                     m_parts.setsCommitted();
                             },
                             [this] { loadConfiguration(); },
                             m_parts.exitProgram,
                             [this] { statusBarVisible(); },
                             [this] { Settings(); },
                             [this] { return m_settings && m_settings->isVisible(); },
                             [this] { m_settings->hide(); },
                             [this] { About(); },
                             [this](const QString& topic) { Help(topic); },
                             BrowseFolderDialog,
                             [this](const QString& setName) { Restore(setName); }};
        m_editor = std::make_unique<frmConfig>(std::move(parts), m_parts.owner());
        m_editor->Form_Load();
    }
    return *m_editor;
}

void ProgramDialogs::Settings()
{
    if (!m_settings) {
        m_settings = std::make_unique<frmMainConfig>(
            frmMainConfigParts{m_parts.configuration, m_parts.statusBar(), m_autostart, m_parts.messages,
                               [this] { return editor().cmdDone_Click(); },
                               [this](const QString& topic) { Help(topic); }},
            m_parts.owner());
    }
    OpenDialog(*m_settings);
}

// A box that was closed may wait for its deletion; a new one is made.
void ProgramDialogs::About()
{
    if (!m_about || !m_about->isVisible()) {
        QWidget* owner = m_editor && m_editor->isVisible() ? m_editor.get() : m_parts.owner();
        m_about = new frmAbout(frmAboutParts{m_parts.starter, m_parts.messages}, owner);
        m_about->setAttribute(Qt::WA_DeleteOnClose);
    }
    OpenDialog(*m_about);
}

void ProgramDialogs::Restore(const QString& setName)
{
    if (!m_restore) {
        m_restore = std::make_unique<frmRestore>(
            frmRestoreParts{m_parts.configuration, m_clock, [this](const QString& topic) { Help(topic); },
                            BrowseFolderDialog},
            m_parts.owner());
    }
    if (!m_restore->isVisible())
        m_restore->Form_Load(setName);
    OpenDialog(*m_restore);
}

// An editor that is open keeps what the person changed: it is raised, not loaded again.
void ProgramDialogs::EditSets(bool refreshFirst)
{
    frmConfig& window = editor();
    if (refreshFirst && !window.isVisible())
        window.Form_Load();
    OpenDialog(window);
}

namespace {

// The help pages are installed beside the program (help/) or in its data folder; empty when the
// topic's page is in none of them.
QString InstalledHelpPage(const QString& topic)
{
    QStringList places{QCoreApplication::applicationDirPath() + u"/help/"_s,
                       QCoreApplication::applicationDirPath() + u"/../share/kelvo/help/"_s};
    for (const QString& folder : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation))
        places << folder + u"/kelvo/help/"_s;
    for (const QString& folder : places) {
        const QFileInfo page(folder + topic);
        if (page.isFile())
            return page.absoluteFilePath();
    }
    return {};
}

} // namespace

void ProgramDialogs::Help(const QString& topic)
{
    const QString page = InstalledHelpPage(topic);
    if (page.isEmpty()) {
        m_parts.messages.information(
            m_parts.owner(), u"The help page %1 is not installed with this copy of Kelvo."_s.arg(topic));
    } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(page))) {
        m_parts.messages.stop(
            m_parts.owner(), u"No program of this desktop opens web pages, so the help page cannot be shown. "
                             u"Open %1 in a web browser."_s.arg(QDir::toNativeSeparators(page)));
    }
}

void ProgramDialogs::OpenTextFile(const QString& path)
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        m_parts.messages.stop(
            m_parts.owner(),
            u"No program of this desktop opens text files, so the log cannot be shown: %1"_s.arg(
                QDir::toNativeSeparators(path)));
}

MainWindowCommands ProgramDialogs::commands()
{
    MainWindowCommands commands;
    commands.editSets = [this](bool refreshFirst) { EditSets(refreshFirst); };
    commands.settings = [this] { Settings(); };
    commands.about = [this] { About(); };
    commands.help = [this](const QString& topic) { Help(topic); };
    commands.openTextFile = [this](const QString& path) { OpenTextFile(path); };
    commands.restore = [this] { Restore({}); };
    return commands;
}

} // namespace kelvo
