#include "cli/SetWords.h"

#include <QStringList>

namespace kelvo::cli {

std::optional<QString> ValueOfWord(std::span<const SetWord> words, const QString& word)
{
    for (const SetWord& entry : words) {
        if (word == QLatin1StringView(entry.word))
            return QString::fromLatin1(entry.value);
    }
    return std::nullopt;
}

QString WordOfValue(std::span<const SetWord> words, const QString& value)
{
    for (const SetWord& entry : words) {
        if (value == QLatin1StringView(entry.value))
            return QString::fromLatin1(entry.word);
    }
    return value;
}

QString WordChoices(std::span<const SetWord> words)
{
    QStringList choices;
    for (const SetWord& entry : words)
        choices << QString::fromLatin1(entry.word);
    return choices.join(u'|');
}

} // namespace kelvo::cli
