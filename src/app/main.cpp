#include "app/DesktopProgram.h"
#include "app/Startup.h"
#include "platform/Failure.h"
#include "ui/ProgramIcon.h"

#include <QApplication>

#include <exception>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kelvo"));
    QApplication::setDesktopFileName(QStringLiteral("kelvo"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(kelvo::ProgramIcon());
    try {
        kelvo::DesktopProgram program;
        return program.run(kelvo::CommandLineFromArguments(QApplication::arguments()));
    } catch (const std::exception& failure) {
        kelvo::Warn(QStringLiteral("Kelvo: ") + QString::fromLocal8Bit(failure.what()));
        return 1;
    }
}
