#include "cli/CliProcess.h"

#include "support/TestSupport.h"

#include <QProcess>

#include <filesystem>
#include <stdexcept>

namespace kelvo::test {

CliResult RunCli(const QStringList& arguments, const QString& workingDirectory)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    process.start(QStringLiteral(KELVO_BIN_DIR "/kelvo-cli"), arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        throw std::runtime_error("kelvo-cli did not finish normally");
    return {process.exitCode(), QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

std::map<std::string, QByteArray> Snapshot(const std::string& directory)
{
    std::map<std::string, QByteArray> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file())
            files[entry.path().string()] = ReadFile(entry.path().string());
    }
    return files;
}

QStringList Lines(const QString& text)
{
    return text.split(u'\n', Qt::SkipEmptyParts);
}

} // namespace kelvo::test
