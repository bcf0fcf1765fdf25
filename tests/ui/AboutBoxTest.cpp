#include "platform/ProcessStarter.h"
#include "ui/MessageBoxes.h"
#include "ui/frmAbout.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include <gtest/gtest.h>

#include <map>

namespace kelvo {
namespace {

using namespace Qt::StringLiterals;

class RecordingMessages final : public MessageBoxes
{
public:
    void stop(QWidget*, const QString& text, const QString&) override { texts << text; }
    void information(QWidget*, const QString& text, const QString&) override { texts << text; }
    bool question(QWidget*, const QString&, const QString&) override { return false; }

    QStringList texts;
};

class RecordingStarter final : public ProcessStarter
{
public:
    bool Start(const QString& program, const QStringList& arguments) override
    {
        started << (QStringList{program} + arguments).join(u' ');
        return starts;
    }

    QStringList started;
    bool starts = true;
};

class AboutBox : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "test_ui";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance())
            new QApplication(argc, argv);
    }

    frmAboutParts parts()
    {
        return {starter, messages, [this](const QString& program) {
                    const auto found = onPath.find(program);
                    return found == onPath.end() ? QString() : found->second;
                }};
    }

    QString text(const frmAbout& box, const QString& name) const
    {
        if (const auto* label = box.findChild<QLabel*>(name))
            return label->text();
        return box.findChild<QPushButton*>(name)->text();
    }

    RecordingStarter starter;
    RecordingMessages messages;
    std::map<QString, QString> onPath;
};

TEST_F(AboutBox, NamesTheProgramAndItsVersion)
{
    frmAbout box(parts());
    EXPECT_EQ(box.windowTitle(), u"About Kelvo"_s);
    EXPECT_EQ(text(box, u"lblTitle"_s), u"Kelvo"_s);
    EXPECT_EQ(text(box, u"lblVersion"_s), u"Version 2.1.0"_s);
    EXPECT_EQ(
        text(box, u"lblDescription"_s),
        u"Kelvo allows you to backup your files. Kelvo can be run as either a screen saver or as a standard "
        "windows utility. Run as a screensave, kelvo backups up the data that is important to you while you "
        "take a break from your computer. This ensures you have a copy of your most important files backed "
        "up."_s);
    EXPECT_TRUE(text(box, u"Label1"_s).startsWith(u"https://"_s));
    EXPECT_TRUE(text(box, u"lblDisclaimer"_s).startsWith(u"Kelvo comes with no warranty"_s));
    EXPECT_EQ(text(box, u"cmdOK"_s), u"OK"_s);
    EXPECT_EQ(text(box, u"cmdSysInfo"_s), u"&System Info..."_s);
    const QLabel* icon = box.findChild<QLabel*>(u"picIcon"_s);
    EXPECT_EQ(icon->pixmap().deviceIndependentSize(), QSizeF(48, 48));
}

TEST_F(AboutBox, StartsTheFirstSystemInformationToolFoundOrSaysThereIsNone)
{
    frmAbout box(parts());
    const QString unavailable = u"System Information Is Unavailable At This Time"_s;

    box.StartSysInfo();
    EXPECT_TRUE(starter.started.isEmpty());
    EXPECT_EQ(messages.texts, QStringList{unavailable}) << "none on PATH";

    onPath[u"kinfocenter"_s] = u"/usr/bin/kinfocenter"_s;
    onPath[u"hardinfo"_s] = u"/usr/local/bin/hardinfo"_s;
    box.findChild<QPushButton*>(u"cmdSysInfo"_s)->click();
    EXPECT_EQ(starter.started, QStringList{u"/usr/local/bin/hardinfo"_s}) << "the first of the list found";
    EXPECT_EQ(messages.texts.size(), 1);

    starter.started.clear();
    starter.starts = false;
    box.StartSysInfo();
    EXPECT_EQ(starter.started, QStringList{u"/usr/local/bin/hardinfo"_s}) << "no second tool after a failure";
    EXPECT_EQ(messages.texts, (QStringList{unavailable, unavailable}));
}

TEST_F(AboutBox, OkClosesTheBoxSoItsOwnerCanDestroyIt)
{
    QPointer<frmAbout> box = new frmAbout(parts());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->show();
    box->findChild<QPushButton*>(u"cmdOK"_s)->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(box.isNull());
}

} // namespace
} // namespace kelvo
