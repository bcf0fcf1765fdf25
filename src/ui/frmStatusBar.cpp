#include "ui/frmStatusBar.h"

#include "config/Configuration.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"

#include <QMouseEvent>
#include <QScreen>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int ClientWidth = 8085;
constexpr int ClientHeight = 375;
constexpr int BarLeft = 60;
constexpr int BarTop = 30;
constexpr int BarHeight = 300;
constexpr std::array<int, 6> PanelWidths{1800, 1440, 1400, 1200, 1800, 300};
constexpr int CloseSymbolPanel = 6;

struct PanelDesign
{
    QString text;
    QString toolTip;
};

const std::array<PanelDesign, 6> PanelDesigns{{
    {u"Last Run :"_s, u"The time Kelvo last checked you files"_s},
    {u"Mins to next :"_s, u"Mins to next :"_s},
    {u"Copied :"_s, {}},
    {u"Errors :"_s, u"The number of errors encountered by Kelvo"_s},
    {{}, {}},
    {{}, u"Closes the Kelvo task bar. Kelvo will remain running"_s},
}};

} // namespace

QPoint StatusBarPosition(StatusBarCorner corner, const QRect& workArea, const QSize& size)
{
    const int left = workArea.left();
    const int right = workArea.left() + workArea.width() - size.width();
    const int top = workArea.top();
    const int bottom = workArea.top() + workArea.height() - size.height();
    switch (corner) {
    case StatusBarCorner::TopLeft:
        return {left, top};
    case StatusBarCorner::TopRight:
        return {right, top};
    case StatusBarCorner::BottomLeft:
        return {left, bottom};
    case StatusBarCorner::BottomRight:
        break;
    }
    return {right, bottom};
}

frmStatusBar::frmStatusBar(Configuration& configuration, std::function<QScreen*()> screen,
                           std::function<void()> focusMainWindow)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint), m_configuration(configuration),
      m_screen(std::move(screen)), m_focusMainWindow(std::move(focusMainWindow))
{
    setWindowTitle(u"KelvoStatusBar"_s);
    setObjectName(u"frmStatusBar"_s);
    setFixedSize(Pixels(ClientWidth), Pixels(ClientHeight));
    setFont(WindowFont(font(), 7.0)); // the strip's panels are narrower than the main window's rows
    setAttribute(Qt::WA_ShowWithoutActivating);
    // The strip is hardly ever the active window, and Qt shows tool tips only in the active one.
    setAttribute(Qt::WA_AlwaysShowToolTips);
    int left = BarLeft;
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        auto* label = new QLabel(this);
        label->setObjectName(u"Panel%1"_s.arg(i + 1));
        label->setTextFormat(Qt::PlainText); // the last run's date comes from the settings file
        label->setText(PanelDesigns[i].text);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setToolTip(PanelDesigns[i].toolTip);
        label->setGeometry(PixelRect(left, BarTop, PanelWidths[i], BarHeight));
        label->setIndent(2);
        left += PanelWidths[i];
        m_panels[i] = label;
    }
    panel(CloseSymbolPanel).setPixmap(QPixmap(u":/kelvo/toolbar/close-panel.png"_s));
    panel(CloseSymbolPanel).setAlignment(Qt::AlignCenter);
    panel(CloseSymbolPanel).setCursor(Qt::PointingHandCursor);
    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(u"ProgressBar1"_s);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(false);
    m_progressBar->setGeometry(PixelRect(5940, 60, 1815, 255));
}

void frmStatusBar::Form_Load()
{
    QScreen* screen = m_screen ? m_screen() : nullptr;
    if (!screen) {
        MessageBoxes::Desktop().warning(nullptr, u"Cannot show the status bar"_s);
        return;
    }
    m_placedCorner = StatusBarCornerOf(m_configuration.settings);
    move(StatusBarPosition(*m_placedCorner, screen->availableGeometry(), size()));
}

void frmStatusBar::StatusBarVisible()
{
    const GeneralSettings& settings = m_configuration.settings;
    if (m_placedCorner != StatusBarCornerOf(settings))
        Form_Load();
    const bool onTop = settings.flStatusBarAOT;
    if (bool(windowFlags() & Qt::WindowStaysOnTopHint) != onTop)
        setWindowFlag(Qt::WindowStaysOnTopHint, onTop); // hides the window; shown again below if it was
    setVisible(settings.flShowStatusBar);
    if (m_focusMainWindow)
        m_focusMainWindow();
}

void frmStatusBar::setPanelText(int index, const QString& text)
{
    panel(index).setText(text);
}

QString frmStatusBar::panelText(int index) const
{
    return panel(index).text();
}

void frmStatusBar::mousePressEvent(QMouseEvent* event)
{
    for (std::size_t i = 0; i < m_panels.size(); ++i) {
        if (m_panels[i]->geometry().contains(event->position().toPoint())) {
            StatusBar1_PanelClick(int(i) + 1);
            return;
        }
    }
}

void frmStatusBar::StatusBar1_PanelClick(int index)
{
    if (index != CloseSymbolPanel)
        return;
    hide();
    m_configuration.settings.flShowStatusBar = false;
    emit closedByUser();
}

} // namespace kelvo
