#include "cli/CommandLine.h"
#include "cli/Commands.h"
#include "cli/Console.h"
#include "cli/UsageError.h"
#include "platform/Failure.h"
#include "platform/SettingsStore.h"

#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// Output that did not reach its file (a full disk, a closed pipe) makes the command fail, so that a
// script never takes a truncated listing for the whole of it.
int WithOutputChecked(int status)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return status;
    const int err = errno;
    std::fprintf(stderr, "kelvo-cli: cannot write the output: %s\n", std::strerror(err));
    return status == kelvo::cli::ExitSuccess ? kelvo::cli::ExitFailure : status;
}

} // namespace

int main(int argc, char* argv[])
{
    using namespace kelvo::cli;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    try {
        const CommandLine commandLine = ParseCommandLine(arguments);
        kelvo::SettingsStore store;
        return WithOutputChecked(ExecuteCommand(store, commandLine));
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
