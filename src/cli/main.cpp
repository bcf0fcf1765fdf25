#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/UsageError.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"

#include <QStringList>

using namespace Qt::StringLiterals;

int main(int argc, char* argv[])
{
    using namespace kelvo::cli;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    try {
        const CommandLine commandLine = ParseCommandLine(arguments);
        kelvo::SettingsStore store;
        return ExecuteCommand(store, commandLine);
    } catch (const UsageError& error) {
        PrintLine(stderr, u"kelvo-cli: "_s + error.message());
        return ExitUsage;
    } catch (const kelvo::Failure& failure) {
        PrintLine(stderr, u"kelvo-cli: "_s + QString::fromLocal8Bit(failure.what()));
        return ExitFailure;
    } catch (const std::exception& error) {
        PrintLine(stderr, u"kelvo-cli: "_s + QString::fromLocal8Bit(error.what()));
        return ExitFailure;
    }
}
