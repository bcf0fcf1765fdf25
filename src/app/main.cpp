#include "app/DesktopProgram.h"
#include "app/Startup.h"
#include "ui/ProgramIcon.h"

#include <QApplication>

#include <cstdio>
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
        std::fprintf(stderr, "Kelvo: %s\n", failure.what());
        return 1;
    }
}
