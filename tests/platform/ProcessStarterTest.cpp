#include "platform/ProcessStarter.h"

#include "support/TestSupport.h"

#include <QFile>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>

namespace kelvo {
namespace {

TEST(ProcessStarter, StartsAProgramWhosePathHasBlanks)
{
    test::TempDir dir;
    const std::string program = dir / "alt saver";
    const std::string output = dir / "arguments";
    test::WriteFile(program, "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" '" +
                                 QByteArray::fromStdString(output) + "'\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);

    ProcessStarter starter;
    ASSERT_TRUE(starter.Start(QString::fromStdString(program), {QStringLiteral("/S")}));
    for (int i = 0; i < 1000 && !QFile::exists(QString::fromStdString(output)); ++i)
        QThread::msleep(10);
    EXPECT_EQ(test::ReadFile(output), QByteArray("/S|"));

    EXPECT_FALSE(starter.Start(QString::fromStdString(dir / "missing"), {QStringLiteral("/S")}));
}

} // namespace
} // namespace kelvo
