#include "saver/frmMain.h"

#include "saver/ForeignWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>

#include <cmath>

namespace kelvo {

namespace {

constexpr double ToleranceInPixels = 5.0 / 15.0; // 5 twips

} // namespace

bool MovementRule::EndsScreenSaver(const QPointF& position)
{
    const bool firstSeen = m_last.isNull();
    const bool stillThere = std::abs(position.x() - m_last.x()) < ToleranceInPixels &&
                            std::abs(position.y() - m_last.y()) < ToleranceInPixels;
    if (firstSeen || stillThere) {
        m_last = position;
        return false;
    }
    return true;
}

frmMain::frmMain(std::function<void()> exitProgram)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint), m_exitProgram(std::move(exitProgram))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Kelvo App"));
    QPalette colours = palette();
    colours.setColor(QPalette::Window, Qt::black);
    colours.setColor(QPalette::WindowText, Qt::white);
    setPalette(colours);
    setAutoFillBackground(true);
    setCursor(Qt::BlankCursor);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
}

void frmMain::showScreenSaver()
{
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        setGeometry(screen->geometry());
    showFullScreen();
    raise();
    activateWindow();
    setFocus();
}

bool frmMain::showInWindow(quintptr window)
{
    const std::optional<QSize> size = X11WindowSize(window);
    if (!size)
        return false;
    QWindow* given = QWindow::fromWinId(WId(window));
    if (!given)
        return false;
    m_endsOnInput = false;
    m_givenWindow = window;
    setWindowFlags(Qt::FramelessWindowHint);
    winId(); // a native window of its own, to be put inside the given one
    windowHandle()->setParent(given);
    setGeometry(QRect(QPoint(0, 0), *size));
    show();
    connect(&m_sizeCheck, &QTimer::timeout, this, &frmMain::followGivenWindow);
    m_sizeCheck.start(500);
    return true;
}

void frmMain::followGivenWindow()
{
    if (const std::optional<QSize> size = X11WindowSize(m_givenWindow); size && *size != this->size())
        resize(*size);
}

void frmMain::keyPressEvent(QKeyEvent*)
{
    if (m_endsOnInput)
        m_exitProgram();
}

void frmMain::mousePressEvent(QMouseEvent*)
{
    if (m_endsOnInput)
        m_exitProgram();
}

void frmMain::mouseDoubleClickEvent(QMouseEvent*)
{
    if (m_endsOnInput)
        m_exitProgram();
}

void frmMain::mouseMoveEvent(QMouseEvent* event)
{
    if (m_endsOnInput && m_movement.EndsScreenSaver(event->globalPosition()))
        m_exitProgram();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    event->accept();
    m_exitProgram();
}

} // namespace kelvo
