#include "saver/frmMain.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

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

void frmMain::keyPressEvent(QKeyEvent*)
{
    m_exitProgram();
}

void frmMain::mousePressEvent(QMouseEvent*)
{
    m_exitProgram();
}

void frmMain::mouseDoubleClickEvent(QMouseEvent*)
{
    m_exitProgram();
}

void frmMain::mouseMoveEvent(QMouseEvent* event)
{
    if (m_movement.EndsScreenSaver(event->globalPosition()))
        m_exitProgram();
}

void frmMain::closeEvent(QCloseEvent* event)
{
    event->accept();
    m_exitProgram();
}

} // namespace kelvo
