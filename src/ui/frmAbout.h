#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

namespace kelvo {

class MessageBoxes;
class ProcessStarter;

// A system-information program of the desktop and the arguments that open its overview.
struct SystemInformationTool
{
    QString program;
    QStringList arguments;
};

// The tools the about box's "System Info..." looks for on PATH, in this order.
const std::vector<SystemInformationTool>& SystemInformationTools();

struct frmAboutParts
{
    ProcessStarter& starter;
    MessageBoxes& messages;
    // The full path of a program found on PATH, or "".
    std::function<QString(const QString& program)> findProgram = DefaultFindProgram;

    static QString DefaultFindProgram(const QString& program);
};

// The about box: the program's icon, name, version and description, and a way to the desktop's
// system-information tool.
class frmAbout final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmAbout)

public:
    explicit frmAbout(frmAboutParts parts, QWidget* parent = nullptr);

    // Starts the first system-information tool found, or says there is none.
    void StartSysInfo();

private:
    void buildControls();

    frmAboutParts m_parts;
};

} // namespace kelvo
