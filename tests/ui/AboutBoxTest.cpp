#include "platform/ProcessStarter.h"
#include "support/Application.h"
#include "ui/MessageBoxes.h"
#include "ui/RecordingMessages.h"
#include "ui/frmAbout.h"

#include <QApplication>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

#include <map>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

class RecordingStarter final : public ProcessStarter
{
public:
    bool Start(const QString& program, const QStringList&) override
    {
        started << program;
        return starts;
    }

    QStringList started;
    bool starts = true;
};

class AboutBox : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { test::EnsureApplication<QApplication>(); }

    RecordingStarter recorder;
    test::RecordingMessages messages;
    std::map<QString, QString> onPath;
    frmAboutParts parts{recorder, messages, [this](const QString& program) { return onPath[program]; }};
};

TEST_F(AboutBox, OkClosesItSoItsOwnerCanDestroyIt)
{
    QPointer<frmAbout> box = new frmAbout(parts);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    box->findChild<QPushButton*>(u"cmdOK"_s)->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(box.isNull());
}

TEST_F(AboutBox, StartsTheFirstSystemInformationToolFoundOrSaysThereIsNone)
{
    frmAbout box(parts);
    const QString unavailable = u"System Information Is Unavailable At This Time"_s;
    box.StartSysInfo();
    EXPECT_EQ(messages.texts, QStringList{unavailable}) << "none on PATH";

    onPath[u"kinfocenter"_s] = u"/usr/bin/kinfocenter"_s;
    onPath[u"hardinfo"_s] = u"/usr/local/bin/hardinfo"_s;
    box.findChild<QPushButton*>(u"cmdSysInfo"_s)->click();
    recorder.starts = false;
    box.StartSysInfo();
    EXPECT_EQ(recorder.started, QStringList(2, u"/usr/local/bin/hardinfo"_s))
        << "the first found, and no other";
    EXPECT_EQ(messages.texts, QStringList(2, unavailable)) << "a tool that does not start";
}

} // namespace
} // namespace kelvo
