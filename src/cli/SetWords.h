#pragma once

#include <QString>

#include <optional>
#include <span>

namespace kelvo::cli {

// A word of the command line and the text the store keeps for it.
struct SetWord
{
    const char* word;
    const char* value;
};

inline constexpr SetWord CriterionWords[] = {
    {"date", "OpDate"}, {"archive", "OpArchive"}, {"size", "OpFileSize"}};
inline constexpr SetWord SyncWords[] = {
    {"one-way", "srcToDest"}, {"two-way", "srcAndDest"}, {"reverse", "destToSrc"}};
inline constexpr SetWord KeepWords[] = {{"seq", "OpSeq"}, {"date", "OpDate"}, {"name", "OpKeep"}};

std::optional<QString> ValueOfWord(std::span<const SetWord> words, const QString& word);
// A stored value that has no word (an older store may hold one) is shown as it is.
QString WordOfValue(std::span<const SetWord> words, const QString& value);
// "date|archive|size"
QString WordChoices(std::span<const SetWord> words);

} // namespace kelvo::cli
