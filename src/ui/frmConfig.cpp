#include "ui/frmConfig.h"

#include "ui/MessageBoxes.h"
#include "ui/ToolbarCommand.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"
#include "ui/frmOptions.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QShortcut>
#include <QVBoxLayout>

#include <exception>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

const std::array<ToolbarCommand, 9> ToolbarButtons{{
    {u"&Add"_s, u"Add"_s, u"add"_s},
    {u"&Properties"_s, u"Properties"_s, u"properties"_s},
    {u"&Remove"_s, u"Remove"_s, u"remove"_s},
    {u"&Settings"_s, u"Settings"_s, u"settings"_s},
    {u"Move &Down"_s, u"Move Down"_s, u"move-down"_s},
    {u"Move &Up"_s, u"Move Up"_s, u"move-up"_s},
    {u"&Help"_s, u"Help (F1)"_s, u"help"_s},
    {u"A&bout"_s, u"About"_s, u"about"_s},
    {u"Res&tore"_s, u"Get a file back from the selected set's backup"_s, u"restore"_s},
}};

enum Command { Add = 1, Properties, Remove, Settings, MoveDown, MoveUp, Help, About, Restore };

} // namespace

frmConfig::frmConfig(frmConfigParts parts, QWidget* parent)
    : QDialog(parent), m_parts(std::move(parts)), m_model(m_draft.sets)
{
    setObjectName(u"frmConfig"_s);
    setWindowTitle(u"Edit Sets"_s);
    setFont(WindowFont(font()));
    setModal(true);
    m_buttons =
        FillToolbar(m_toolbar, ToolbarButtons, [this](int command) { Toolbar1_ButtonClick(command); });
    toolbarButton(Help).setShortcut(QKeySequence::HelpContents);
    m_grid.setObjectName(u"MSFlexGrid1"_s);
    m_grid.setModel(&m_model);
    m_grid.setSelectionBehavior(QAbstractItemView::SelectRows);
    m_grid.setSelectionMode(QAbstractItemView::SingleSelection);
    m_grid.setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid.setTabKeyNavigation(false); // Tab leaves the list for its commands; the arrows move in it
    m_grid.verticalHeader()->hide();
    m_grid.horizontalHeader()->setStretchLastSection(true);
    connect(&m_grid, &QTableView::clicked, this, &frmConfig::MSFlexGrid1_Click);
    connect(&m_grid, &QTableView::doubleClicked, this, [this](const QModelIndex& index) {
        if (index.column() != 0)
            Toolbar1_ButtonClick(Properties);
    });
    // The click in the Enabled column, for the keyboard.
    auto* toggle = new QShortcut(Qt::Key_Space, &m_grid);
    toggle->setContext(Qt::WidgetShortcut);
    connect(toggle, &QShortcut::activated, this, [this] {
        if (const int row = selectedRow(); row >= 0)
            m_model.toggleEnabled(row);
    });

    auto* frame = new QGroupBox(u"Set Properties"_s, this);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->addWidget(&m_grid);
    m_done.setText(u"&Ok"_s);
    m_cancel.setText(u"&Cancel"_s);
    m_done.setDefault(true);
    connect(&m_done, &QPushButton::clicked, this, [this] { cmdDone_Click(); });
    connect(&m_cancel, &QPushButton::clicked, this, &frmConfig::CmdCancel_Click);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(&m_done);
    buttons->addWidget(&m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(&m_toolbar);
    layout->addWidget(frame);
    layout->addLayout(buttons);
    orderTabs();
    resize(Pixels(12000), Pixels(4800));

    m_options = std::make_unique<frmOptions>(frmOptionsParts{m_draft.sets, m_parts.messages, m_parts.help,
                                                             m_parts.browseFolder,
                                                             [this](int row) {
                                                                 m_model.rowWritten(row);
                                                                 selectRow(row);
                                                                 sizeColumns();
                                                             }},
                                             this);
    // Add leaves Properties and Remove enabled, whichever way its dialog closed.
    connect(m_options.get(), &QDialog::finished, this, [this] {
        toolbarButton(Properties).setEnabled(true);
        toolbarButton(Remove).setEnabled(true);
    });
}

frmConfig::~frmConfig() = default;

void frmConfig::Form_Load()
{
    const BackupSets& sets = m_parts.configuration.sets;
    if (sets.empty() || (sets.size() == 1 && sets[0].SetName.isEmpty()))
        m_parts.loadConfiguration();
    m_draft = DraftOf(m_parts.configuration);
    // Taken after the load, so that Cancel puts back the sets the editor showed, never an empty list
    // that a later save would write over the stored sets.
    LoadedSets = m_draft;
    m_model.reset();
    sizeColumns();
    if (m_model.rowCount() > 0)
        selectRow(0);
    updateCommands();
}

// The list first, then its commands in the order the toolbar shows them, then Ok and Cancel.
void frmConfig::orderTabs()
{
    QWidget* previous = &m_grid;
    for (QAction* action : m_buttons) {
        QWidget* button = m_toolbar.widgetForAction(action);
        setTabOrder(previous, button);
        previous = button;
    }
    setTabOrder(previous, &m_done);
    setTabOrder(&m_done, &m_cancel);
}

void frmConfig::sizeColumns()
{
    // Widest text plus a little room, as the grid measured its columns; one pass over all rows.
    m_grid.resizeColumnsToContents();
}

void frmConfig::updateCommands()
{
    const bool any = m_model.rowCount() > 0;
    toolbarButton(Properties).setEnabled(any);
    toolbarButton(Remove).setEnabled(any);
    toolbarButton(Settings).setEnabled(bool(m_parts.showSettings));
    toolbarButton(About).setEnabled(bool(m_parts.about));
    toolbarButton(Restore).setEnabled(bool(m_parts.restore));
}

int frmConfig::selectedRow() const
{
    const QModelIndexList rows = m_grid.selectionModel()->selectedRows();
    if (!rows.isEmpty())
        return rows.first().row();
    return m_grid.currentIndex().isValid() ? m_grid.currentIndex().row() : -1;
}

void frmConfig::selectRow(int row)
{
    if (row < 0 || row >= m_model.rowCount())
        return;
    m_grid.setCurrentIndex(m_model.index(row, 1));
    m_grid.selectRow(row);
}

void frmConfig::MSFlexGrid1_Click(const QModelIndex& index)
{
    if (index.isValid() && index.column() == 0)
        m_model.toggleEnabled(index.row());
}

void frmConfig::Toolbar1_ButtonClick(int index)
{
    const int row = selectedRow();
    switch (index) {
    case Add:
        if (!m_options->isVisible())
            m_options->PrepareAdd();
        openOptions();
        break;
    case Properties:
        if (row < 0)
            return;
        if (!m_options->isVisible())
            m_options->PrepareEdit(row);
        openOptions();
        break;
    case Remove:
        if (row >= 0)
            askToRemoveSet(row);
        break;
    case Settings:
        if (m_parts.showSettings)
            m_parts.showSettings();
        break;
    case MoveDown:
    case MoveUp:
        moveSelected(index == MoveDown);
        break;
    case Help:
        if (m_parts.help)
            m_parts.help(u"config.html"_s);
        break;
    case About:
        if (m_parts.about)
            m_parts.about();
        break;
    case Restore:
        if (m_parts.restore)
            m_parts.restore(row >= 0 ? m_draft.sets[std::size_t(row)].SetName : QString());
        break;
    }
}

// The configuration in memory is loaded again by the commit, and the draft starts afresh from it.
void frmConfig::commit()
{
    m_parts.commit(m_draft);
    m_draft = DraftOf(m_parts.configuration);
}

// A properties dialog that is already open keeps the set it shows and what the person typed.
void frmConfig::openOptions()
{
    OpenDialog(*m_options);
}

void frmConfig::askToRemoveSet(int row)
{
    const QString name = m_draft.sets[std::size_t(row)].SetName;
    m_parts.messages.question(
        this, u"Are you sure you want to remove the set "_s + name + u" ?"_s,
        [this, row, name](bool yes) {
            // A commit while the box was open (the settings dialog's OK) may have moved the sets.
            if (yes && row < int(m_draft.sets.size()) && m_draft.sets[std::size_t(row)].SetName == name)
                removeSet(row);
        },
        u"Remove Set"_s);
}

void frmConfig::removeSet(int row)
{
    BackupSets& sets = m_draft.sets;
    const QString name = sets[std::size_t(row)].SetName;
    if (m_model.rowCount() < 2) {
        sets.assign(1, BackupSet{}); // written by Done
        m_model.reset();
        return;
    }
    sets[std::size_t(row)].flRemoved = true;
    try {
        commit();
    } catch (const std::exception& failure) {
        sets[std::size_t(row)].flRemoved = false;
        m_parts.messages.stop(
            this, u"The set %1 could not be removed, because the settings could not be saved: %2"_s.arg(
                      name, QString::fromLocal8Bit(failure.what())));
        return;
    }
    m_model.reset();
    selectRow(std::min(row, m_model.rowCount() - 1));
}

void frmConfig::moveSelected(bool down)
{
    const int row = selectedRow();
    if (down ? m_model.moveDown(row) : m_model.moveUp(row))
        selectRow(down ? row + 1 : row - 1);
}

bool frmConfig::cmdDone_Click()
{
    try {
        commit();
    } catch (const std::exception& failure) {
        m_parts.messages.stop(
            this, u"The sets could not be saved: %1\nThe editor keeps them as they are; try again "
                  u"once the problem is solved."_s.arg(QString::fromLocal8Bit(failure.what())));
        return false;
    }
    LoadedSets = m_draft; // what is stored now is what a later Cancel cannot take back
    m_model.reset();
    const bool configMode = m_parts.app.RunMode == RunModeConfig;
    if (m_parts.settingsVisible && m_parts.settingsVisible()) {
        m_parts.hideSettings();
    } else {
        hide();
        QDialog::accept();
        if (configMode)
            m_parts.exitProgram();
        else if (m_parts.statusBarVisible)
            m_parts.statusBarVisible();
    }
    if (m_parts.app.RunMode == RunModeScreenSaver)
        m_parts.exitProgram();
    if (!configMode && m_parts.statusBarVisible)
        m_parts.statusBarVisible();
    return true;
}

void frmConfig::CmdCancel_Click()
{
    // LoadedSets stays: an editor shown again without a load (the tray menu's Edit Sets) and cancelled
    // again must put back the same list, not an empty one that a later commit would store.
    m_draft = LoadedSets;
    m_model.reset();
    hide();
    QDialog::reject();
    if (m_parts.app.RunMode == RunModeScreenSaver || m_parts.app.RunMode == RunModeConfig)
        m_parts.exitProgram();
}

void frmConfig::reject()
{
    CmdCancel_Click();
}

} // namespace kelvo
