#pragma once

#include "config/BackupSet.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <span>

namespace kelvo::cli {

// A word of the command line and the option value it stands for.
template <typename Option> struct SetWord
{
    const char* word;
    Option value;
};

inline constexpr SetWord<CopyCriterion> CriterionWords[] = {
    {"date", CopyCriterion::Date}, {"archive", CopyCriterion::ArchiveFlag}, {"size", CopyCriterion::Size}};
inline constexpr SetWord<SyncMode> SyncWords[] = {
    {"one-way", SyncMode::OneWay}, {"two-way", SyncMode::TwoWay}, {"reverse", SyncMode::Reverse}};
inline constexpr SetWord<KeptCopyNaming> KeepWords[] = {
    {"seq", KeptCopyNaming::Sequence}, {"date", KeptCopyNaming::Date}, {"name", KeptCopyNaming::OwnName}};

template <typename Option>
std::optional<Option> ValueOfWord(std::span<const SetWord<Option>> words, const QString& word)
{
    for (const SetWord<Option>& entry : words) {
        if (word == QLatin1StringView(entry.word))
            return entry.value;
    }
    return std::nullopt;
}

// A stored text that has no word (an older store or a hand edit may hold one) is shown as it is.
template <typename Option>
QString WordOfStoredText(std::span<const SetWord<Option>> words, const QString& text)
{
    const std::optional<Option> value = OptionOfStoredText<Option>(text);
    for (const SetWord<Option>& entry : words) {
        if (value == entry.value)
            return QString::fromLatin1(entry.word);
    }
    return text;
}

// "date|archive|size"
template <typename Option> QString WordChoices(std::span<const SetWord<Option>> words)
{
    QStringList choices;
    for (const SetWord<Option>& entry : words)
        choices << QString::fromLatin1(entry.word);
    return choices.join(u'|');
}

} // namespace kelvo::cli
