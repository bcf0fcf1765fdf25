#include "config/BackupSet.h"

#include <span>

namespace kelvo {

using namespace Qt::StringLiterals;

namespace {

template <typename Option> struct OptionText
{
    Option value;
    const char* text;
};

constexpr OptionText<SyncMode> SyncModeTexts[] = {
    {SyncMode::OneWay, "srcToDest"}, {SyncMode::TwoWay, "srcAndDest"}, {SyncMode::Reverse, "destToSrc"}};
constexpr OptionText<CopyCriterion> CopyCriterionTexts[] = {{CopyCriterion::Date, "OpDate"},
                                                            {CopyCriterion::ArchiveFlag, "OpArchive"},
                                                            {CopyCriterion::Size, "OpFileSize"}};
constexpr OptionText<KeptCopyNaming> KeptCopyNamingTexts[] = {{KeptCopyNaming::OwnName, "OpKeep"},
                                                              {KeptCopyNaming::Sequence, "OpSeq"},
                                                              {KeptCopyNaming::Date, "OpDate"}};

constexpr std::span<const OptionText<SyncMode>> TextsOf(SyncMode)
{
    return SyncModeTexts;
}
constexpr std::span<const OptionText<CopyCriterion>> TextsOf(CopyCriterion)
{
    return CopyCriterionTexts;
}
constexpr std::span<const OptionText<KeptCopyNaming>> TextsOf(KeptCopyNaming)
{
    return KeptCopyNamingTexts;
}

template <typename Option> QString TextOf(Option value)
{
    for (const OptionText<Option>& entry : TextsOf(value)) {
        if (entry.value == value)
            return QString::fromLatin1(entry.text);
    }
    return {};
}

// An empty text is what a hand edit or the legacy import leaves; it stands for the given value.
template <typename Option> std::optional<Option> OptionOfText(const QString& text, Option whenEmpty)
{
    return text.isEmpty() ? std::optional<Option>(whenEmpty) : OptionOfStoredText<Option>(text);
}

} // namespace

template <typename Option> std::optional<Option> OptionOfStoredText(const QString& text)
{
    for (const OptionText<Option>& entry : TextsOf(Option{})) {
        if (text == QLatin1StringView(entry.text))
            return entry.value;
    }
    return std::nullopt;
}

template std::optional<SyncMode> OptionOfStoredText(const QString&);
template std::optional<CopyCriterion> OptionOfStoredText(const QString&);
template std::optional<KeptCopyNaming> OptionOfStoredText(const QString&);

QString StoredText(SyncMode mode)
{
    return TextOf(mode);
}

QString StoredText(CopyCriterion criterion)
{
    return TextOf(criterion);
}

QString StoredText(KeptCopyNaming naming)
{
    return TextOf(naming);
}

std::optional<SyncMode> KnownSyncModeOf(const BackupSet& set)
{
    return OptionOfText(set.SyncOptions, SyncMode::OneWay);
}

SyncMode SyncModeOf(const BackupSet& set)
{
    return KnownSyncModeOf(set).value_or(SyncMode::OneWay);
}

CopyCriterion CopyCriterionOf(const BackupSet& set)
{
    return OptionOfText(set.CopyOptions, CopyCriterion::Date).value_or(CopyCriterion::Unknown);
}

KeptCopyNaming KeptCopyNamingOf(const BackupSet& set)
{
    return OptionOfText(set.ArchiveOptions, KeptCopyNaming::Sequence).value_or(KeptCopyNaming::Unknown);
}

std::optional<UnknownOption> FindUnknownOption(const BackupSet& set)
{
    if (CopyCriterionOf(set) == CopyCriterion::Unknown)
        return UnknownOption{u"CopyOptions"_s, set.CopyOptions};
    if (!KnownSyncModeOf(set))
        return UnknownOption{u"SyncOptions"_s, set.SyncOptions};
    if (KeptCopyNamingOf(set) == KeptCopyNaming::Unknown)
        return UnknownOption{u"ArchiveOptions"_s, set.ArchiveOptions};
    return std::nullopt;
}

BackupSet NewBackupSet(const QString& name)
{
    BackupSet set;
    set.SetName = name;
    set.CopyOptions = StoredText(CopyCriterion::Date);
    set.SyncOptions = StoredText(SyncMode::OneWay);
    set.ArchiveOptions = StoredText(KeptCopyNaming::Sequence);
    set.Filters = u"*.*"_s;
    set.flEnabled = true;
    set.flOverwrite = true;
    set.flSubDirectories = true;
    set.LastDate = u"Never run"_s;
    return set;
}

} // namespace kelvo
