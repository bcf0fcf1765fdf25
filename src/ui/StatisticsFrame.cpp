#include "ui/StatisticsFrame.h"

#include "ui/PlainText.h"
#include "ui/Twips.h"

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

constexpr int FrameWidth = 6195;
constexpr int CaptionLeft = 120;
constexpr int ValueLeft = 2280;
constexpr int RightCaptionLeft = 2940;
constexpr int RightValueLeft = 4500;
constexpr int RowHeight = 240;
// The frame's caption stands above its line in some styles; the rows keep their distances below it.
constexpr int TitleRoom = 90;
constexpr int ProgressBarWidth = 3735;
constexpr int ProgressBarHeight = 300;

const QColor ValueColour(0, 0, 192);
const QColor ErrorColour(255, 0, 0);

void Colour(QLabel& label, const QColor& colour)
{
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, colour);
    label.setPalette(palette);
}

} // namespace

StatisticsFrame::StatisticsFrame(QWidget* parent) : QGroupBox(u"Statistics"_s, parent)
{
    setObjectName(u"Frame1"_s);
    struct Row
    {
        const char16_t* caption;
        const char16_t* captionName;
        const char16_t* valueName;
        const char16_t* text;
        int top;
    };
    const Row rows[] = {
        {u"Files Examined :", u"Label5", u"Label6", u"0", 240},
        {u"Directories Searched : ", u"Label1", u"Label3", u"0", 480},
        {u"Files Copied : ", u"Label2", u"Label4", u"0", 720},
        {u"Errors Encountered :", u"Label11", u"Label12", u"0", 960},
        {u"Filename :", u"Label8", u"Label9", u"", 1200},
    };
    for (const Row& row : rows) {
        addLabel(QString::fromUtf16(row.captionName), QString::fromUtf16(row.caption), CaptionLeft, row.top,
                 true);
        QLabel* value =
            addLabel(QString::fromUtf16(row.valueName), QString::fromUtf16(row.text), ValueLeft, row.top);
        value->resize(Pixels(RightCaptionLeft - ValueLeft), value->height());
        Colour(*value, ValueColour);
    }
    label(u"Label9"_s).resize(Pixels(ProgressBarWidth), Pixels(RowHeight));
    addLabel(u"Label15"_s, u"Last Run :"_s, RightCaptionLeft, 480);
    addLabel(u"Label16"_s, u"Mins to Next Run :"_s, RightCaptionLeft, 720);
    for (const auto& [name, top] : {std::pair{u"Label13"_s, 480}, std::pair{u"Label17"_s, 720}}) {
        QLabel* value = addLabel(name, {}, RightValueLeft, top);
        value->resize(Pixels(FrameWidth - RightValueLeft - CaptionLeft), value->height());
        Colour(*value, ValueColour);
    }
    addLabel(u"Label10"_s, u"Current File % Complete :"_s, CaptionLeft, 1680);
    addLabel(u"Label14"_s, u"Overall % Complete :"_s, CaptionLeft, 2280);
    m_progressBar1 = addProgressBar(u"ProgressBar1"_s, 1650);
    m_progressBar2 = addProgressBar(u"ProgressBar2"_s, 2250);
}

QLabel* StatisticsFrame::addLabel(const QString& name, const QString& text, int left, int top, bool bold)
{
    auto* label = new QLabel(this);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText); // file names and log lines are shown as they are
    label->setText(text);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->setGeometry(PixelRect(left, top + TitleRoom, 0, RowHeight));
    label->resize(label->sizeHint().width(), Pixels(RowHeight));
    return label;
}

QProgressBar* StatisticsFrame::addProgressBar(const QString& name, int top)
{
    auto* bar = new QProgressBar(this);
    bar->setObjectName(name);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setGeometry(PixelRect(ValueLeft, top + TitleRoom, ProgressBarWidth, ProgressBarHeight));
    return bar;
}

QLabel& StatisticsFrame::label(const QString& name) const
{
    return *findChild<QLabel*>(name, Qt::FindDirectChildrenOnly);
}

void StatisticsFrame::showStatistics(const RunStatistics& statistics)
{
    label(u"Label3"_s).setText(QString::number(statistics.directoriesSearched));
    label(u"Label6"_s).setText(QString::number(statistics.filesExamined));
    label(u"Label4"_s).setText(QString::number(statistics.filesCopied));
    if (statistics.errors != m_errorsShown) {
        m_errorsShown = statistics.errors;
        label(u"Label12"_s).setText(QString::number(statistics.errors));
        Label12_Change();
    }
}

void StatisticsFrame::Label12_Change()
{
    if (label(u"Label12"_s).text().toLongLong() > 0)
        Colour(label(u"Label12"_s), ErrorColour);
}

void StatisticsFrame::showCurrentFile(const QString& name)
{
    QLabel& file = label(u"Label9"_s);
    file.setText(file.fontMetrics().elidedText(name, Qt::ElideMiddle, file.width()));
    file.setToolTip(PlainToolTip(name));
}

void StatisticsFrame::showLastError(const QString& line)
{
    label(u"Label12"_s).setToolTip(PlainToolTip(line));
}

void StatisticsFrame::hideTimerLabels()
{
    for (const QString& name : {u"Label15"_s, u"Label13"_s, u"Label17"_s, u"Label16"_s})
        label(name).hide();
}

} // namespace kelvo
