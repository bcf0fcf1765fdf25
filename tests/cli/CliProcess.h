#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <map>
#include <string>

namespace kelvo::test {

struct CliResult
{
    int status = -1;
    QString out;
    QString err;
};

// Runs the built kelvo-cli with the test's environment (its isolated home) and waits for it.
CliResult RunCli(const QStringList& arguments, const QString& workingDirectory = {});

// Every file below directory with its contents, to prove that a command left it alone.
std::map<std::string, QByteArray> Snapshot(const std::string& directory);

QStringList Lines(const QString& text);

} // namespace kelvo::test
