#include "ui/frmAbout.h"

#include "platform/ProcessStarter.h"
#include "ui/MessageBoxes.h"
#include "ui/Twips.h"
#include "ui/WindowFont.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int TextWidth = 4320;
constexpr int ButtonWidth = 1260;
constexpr int IconSize = 48;

const QString AppTitle = u"Kelvo"_s;
constexpr int VersionMajor = 2;
constexpr int VersionMinor = 1;
constexpr int VersionRevision = 0;

const QString Description =
    u"Kelvo allows you to backup your files. Kelvo can be run as either a screen saver or as a desktop "
    u"utility. Run as a screensave, kelvo backups up the data that is important to you while you take a "
    u"break from your computer. This ensures you have a copy of your most important files backed up."_s;
const QString WebAddress = u"https://kelvo.example.org"_s;
const QString Disclaimer = u"Kelvo comes with no warranty of any kind. Check your backups now and then, and "
                           "keep more than one copy of the files that matter to you."_s;

QLabel* AddLabel(QWidget* parent, const QString& name, const QString& text)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

} // namespace

// Desktop system-information tools that show an overview of the machine in a window of their own.
const std::vector<SystemInformationTool>& SystemInformationTools()
{
    static const std::vector<SystemInformationTool> tools{
        {u"hardinfo2"_s, {}},
        {u"hardinfo"_s, {}},
        {u"kinfocenter"_s, {}},
        {u"xfce4-about"_s, {}},
    };
    return tools;
}

QString frmAboutParts::DefaultFindProgram(const QString& program)
{
    return QStandardPaths::findExecutable(program);
}

frmAbout::frmAbout(frmAboutParts parts, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_parts(std::move(parts))
{
    setObjectName(u"frmAbout"_s);
    setWindowTitle(u"About "_s + AppTitle);
    setModal(true);
    setFont(WindowFont(font()));
    buildControls();
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void frmAbout::buildControls()
{
    auto* picIcon = AddLabel(this, u"picIcon"_s, {});
    // The larger pictures keep the icon sharp on a screen scaled above 100%.
    QIcon icon(u":/kelvo/icons/kelvo-48.png"_s);
    for (int size : {64, 128})
        icon.addFile(u":/kelvo/icons/kelvo-%1.png"_s.arg(size), QSize(size, size));
    picIcon->setPixmap(icon.pixmap(QSize(IconSize, IconSize), devicePixelRatioF()));
    picIcon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    QLabel* lblTitle = AddLabel(this, u"lblTitle"_s, AppTitle);
    QFont titleFont = lblTitle->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.75);
    titleFont.setBold(true);
    lblTitle->setFont(titleFont);
    QLabel* lblVersion =
        AddLabel(this, u"lblVersion"_s,
                 u"Version %1.%2.%3"_s.arg(VersionMajor).arg(VersionMinor).arg(VersionRevision));
    QLabel* lblDescription = AddLabel(this, u"lblDescription"_s, Description);
    lblDescription->setWordWrap(true);
    lblDescription->setFixedWidth(Pixels(TextWidth));
    QLabel* label1 = AddLabel(this, u"Label1"_s, WebAddress);
    label1->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QLabel* lblDisclaimer = AddLabel(this, u"lblDisclaimer"_s, Disclaimer);
    lblDisclaimer->setWordWrap(true);

    auto* cmdOK = new QPushButton(u"OK"_s, this);
    cmdOK->setObjectName(u"cmdOK"_s);
    cmdOK->setDefault(true);
    auto* cmdSysInfo = new QPushButton(u"&System Info..."_s, this);
    cmdSysInfo->setObjectName(u"cmdSysInfo"_s);
    cmdSysInfo->setAutoDefault(false);
    for (QPushButton* button : {cmdOK, cmdSysInfo})
        button->setMinimumWidth(Pixels(ButtonWidth));
    // The box only closes; whoever opened it decides whether closing destroys it.
    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::StartSysInfo);

    auto* texts = new QVBoxLayout;
    texts->addWidget(lblTitle);
    texts->addWidget(lblVersion);
    texts->addSpacing(Pixels(120));
    texts->addWidget(lblDescription);
    texts->addSpacing(Pixels(120));
    texts->addWidget(label1);
    auto* top = new QHBoxLayout;
    top->addWidget(picIcon, 0, Qt::AlignTop);
    top->addSpacing(Pixels(180));
    top->addLayout(texts);

    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdSysInfo);
    buttons->addStretch();
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(lblDisclaimer, 1, Qt::AlignTop);
    bottom->addSpacing(Pixels(180));
    bottom->addLayout(buttons);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(Pixels(240), Pixels(240), Pixels(240), Pixels(240));
    layout->addLayout(top);
    layout->addWidget(line);
    layout->addLayout(bottom);
}

// Only the first tool found is tried: a tool that is installed but will not start is reported, not
// silently replaced by another.
void frmAbout::StartSysInfo()
{
    for (const SystemInformationTool& tool : SystemInformationTools()) {
        const QString path = m_parts.findProgram(tool.program);
        if (path.isEmpty())
            continue;
        if (m_parts.starter.Start(path, tool.arguments))
            return;
        break;
    }
    m_parts.messages.information(this, u"System Information Is Unavailable At This Time"_s);
}

} // namespace kelvo
