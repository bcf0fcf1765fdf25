#include "cli/CommandLine.h"

#include "cli/SetWords.h"
#include "cli/UsageError.h"
#include "config/SetRules.h"

#include <QDir>
#include <QHash>

#include <functional>

namespace kelvo::cli {

using namespace Qt::StringLiterals;

namespace {

struct CommandWord
{
    const char* word;
    Command command;
};

constexpr CommandWord CommandWords[] = {
    {"list", Command::List},         {"settings", Command::Settings}, {"add", Command::Add},
    {"edit", Command::Edit},         {"remove", Command::Remove},     {"enable", Command::Enable},
    {"disable", Command::Disable},   {"run", Command::Run},           {"help", Command::Help},
    {"versions", Command::Versions}, {"restore", Command::Restore},
};

Command CommandOfWord(const QString& word)
{
    for (const CommandWord& entry : CommandWords) {
        if (word == QLatin1StringView(entry.word))
            return entry.command;
    }
    throw UsageError(u"unknown command \"%1\"; see kelvo-cli --help"_s.arg(word));
}

QString AbsolutePath(const QString& path)
{
    return path.isEmpty() ? path : QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

template <typename Option>
Option WordValue(std::span<const SetWord<Option>> words, const QString& option, const QString& word)
{
    if (const std::optional<Option> value = ValueOfWord(words, word))
        return *value;
    throw UsageError(u"%1 takes %2, not \"%3\""_s.arg(option, WordChoices(words), word));
}

// One option of "add" and "edit". Options that set the same thing (--keep and --no-keep) share a
// field name, so a command line cannot ask for both.
struct SetOption
{
    const char* name;
    const char* field;
    bool takesValue;
    std::function<void(SetOptions&, const QString& option, const QString& value)> apply;
};

const std::vector<SetOption>& SetOptionTable()
{
    using O = SetOptions;
    static const std::vector<SetOption> table = {
        {"--source", "source", true, [](O& o, auto&, auto& v) { o.SourceDirFile = AbsolutePath(v); }},
        {"--dest", "dest", true, [](O& o, auto&, auto& v) { o.DestDir = AbsolutePath(v); }},
        {"--filters", "filters", true, [](O& o, auto&, auto& v) { o.Filters = v; }},
        {"--criterion", "criterion", true,
         [](O& o, auto& n, auto& v) { o.CopyOptions = WordValue<CopyCriterion>(CriterionWords, n, v); }},
        {"--sync", "sync", true,
         [](O& o, auto& n, auto& v) { o.SyncOptions = WordValue<SyncMode>(SyncWords, n, v); }},
        {"--overwrite", "overwrite", false, [](O& o, auto&, auto&) { o.flOverwrite = true; }},
        {"--no-overwrite", "overwrite", false, [](O& o, auto&, auto&) { o.flOverwrite = false; }},
        {"--subdirs", "subdirs", false, [](O& o, auto&, auto&) { o.flSubDirectories = true; }},
        {"--no-subdirs", "subdirs", false, [](O& o, auto&, auto&) { o.flSubDirectories = false; }},
        {"--delete-removed", "delete", false, [](O& o, auto&, auto&) { o.flRemovedDeletedFiles = true; }},
        {"--no-delete-removed", "delete", false, [](O& o, auto&, auto&) { o.flRemovedDeletedFiles = false; }},
        {"--keep", "keep", true,
         [](O& o, auto& n, auto& v) {
             o.ArchiveOptions = WordValue<KeptCopyNaming>(KeepWords, n, v);
             o.flArchive = true;
         }},
        {"--no-keep", "keep", false, [](O& o, auto&, auto&) { o.flArchive = false; }},
        {"--keep-subdir", "keepsubdir", true,
         [](O& o, auto&, auto& v) {
             o.ArchiveSubDir = v;
             o.flArchiveSubDir = true;
         }},
        {"--no-keep-subdir", "keepsubdir", false, [](O& o, auto&, auto&) { o.flArchiveSubDir = false; }},
        {"--keep-max", "keepmax", true,
         [](O& o, auto& n, auto& v) { o.KeepMaxCopies = WholeNumber(n, v, 0, MostKeptCopies); }},
        {"--keep-days", "keepdays", true,
         [](O& o, auto& n, auto& v) { o.KeepDays = WholeNumber(n, v, 0, MostKeptCopyDays); }},
        {"--enabled", "enabled", false, [](O& o, auto&, auto&) { o.flEnabled = true; }},
        {"--disabled", "enabled", false, [](O& o, auto&, auto&) { o.flEnabled = false; }},
        {"--force", "force", false, [](O& o, auto&, auto&) { o.force = true; }},
    };
    return table;
}

const SetOption* FindSetOption(const QString& name)
{
    for (const SetOption& option : SetOptionTable()) {
        if (name == QLatin1StringView(option.name))
            return &option;
    }
    return nullptr;
}

bool IsOption(const QString& argument)
{
    return argument.startsWith(u'-') && argument.size() > 1;
}

// "--option=VALUE": cuts the value off the option's name.
std::optional<QString> TakeInlineValue(QString& name)
{
    const qsizetype equals = name.indexOf(u'=');
    if (!IsOption(name) || equals <= 0)
        return std::nullopt;
    QString value = name.mid(equals + 1);
    name.truncate(equals);
    return value;
}

class Parser final
{
public:
    explicit Parser(const QStringList& arguments) : m_arguments(arguments) {}

    CommandLine parse()
    {
        if (m_arguments.contains(u"--help"_s) || m_arguments.contains(u"-h"_s))
            return {};
        if (m_arguments.isEmpty())
            throw UsageError(u"no command given; see kelvo-cli --help"_s);
        const QString word = m_arguments.first();
        if (IsOption(word))
            throw UsageError(u"unknown option %1; see kelvo-cli --help"_s.arg(word));
        m_result.command = CommandOfWord(word);
        m_next = 1;
        parseCommandArguments();
        return m_result;
    }

private:
    void parseCommandArguments()
    {
        switch (m_result.command) {
        case Command::Help:
        case Command::List:
            break;
        case Command::Settings:
            m_result.settingArguments = m_arguments.mid(m_next, 2);
            m_next += m_result.settingArguments.size();
            break;
        case Command::Add:
        case Command::Edit:
            m_result.setName = takeSetName();
            parseSetOptions();
            break;
        case Command::Remove:
        case Command::Enable:
        case Command::Disable:
            m_result.setName = takeSetName();
            break;
        case Command::Versions:
            m_result.setName = takeSetName();
            m_result.path = takePath();
            break;
        case Command::Restore:
            m_result.setName = takeSetName();
            m_result.path = takePath();
            parseRestoreOptions();
            break;
        case Command::Run:
            if (m_next < m_arguments.size() && !IsOption(m_arguments[m_next])) {
                m_result.setName = m_arguments[m_next++];
                m_result.runOneSet = true;
            }
            break;
        }
        if (m_next < m_arguments.size())
            throw unexpected(m_arguments[m_next]);
    }

    QString takeSetName()
    {
        if (m_next >= m_arguments.size() || IsOption(m_arguments[m_next]))
            throw UsageError(u"%1 needs a set name"_s.arg(m_arguments.first()));
        return m_arguments[m_next++];
    }

    QString takePath()
    {
        if (m_next >= m_arguments.size())
            throw UsageError(u"%1 needs a path in the set's source"_s.arg(m_arguments.first()));
        return m_arguments[m_next++];
    }

    void parseRestoreOptions()
    {
        while (m_next < m_arguments.size()) {
            QString name = m_arguments[m_next++];
            const std::optional<QString> value = TakeInlineValue(name);
            if (name == u"--version"_s) {
                bool number = false;
                m_result.version = takeValue(true, name, value).toInt(&number);
                if (!number || m_result.version < 1)
                    throw UsageError(u"--version takes a version number from kelvo-cli versions"_s);
            } else if (name == u"--to"_s) {
                m_result.toDirectory = AbsolutePath(takeValue(true, name, value));
            } else {
                throw unexpected(name);
            }
        }
    }

    void parseSetOptions()
    {
        QHash<QString, QString> given; // field -> the option that set it
        while (m_next < m_arguments.size()) {
            QString name = m_arguments[m_next++];
            if (!IsOption(name))
                throw unexpected(name);
            const std::optional<QString> value = TakeInlineValue(name);
            const SetOption* option = FindSetOption(name);
            if (!option)
                throw UsageError(u"unknown option %1 for %2"_s.arg(name, m_arguments.first()));
            const QString field = QString::fromLatin1(option->field);
            if (given.contains(field))
                throw UsageError(u"%1 conflicts with %2"_s.arg(name, given.value(field)));
            given.insert(field, name);
            option->apply(m_result.options, name, takeValue(option->takesValue, name, value));
        }
    }

    QString takeValue(bool takesValue, const QString& name, const std::optional<QString>& inlineValue)
    {
        if (!takesValue) {
            if (inlineValue)
                throw UsageError(u"%1 takes no value"_s.arg(name));
            return {};
        }
        if (inlineValue)
            return *inlineValue;
        if (m_next >= m_arguments.size())
            throw UsageError(u"%1 needs a value"_s.arg(name));
        return m_arguments[m_next++];
    }

    UsageError unexpected(const QString& argument) const
    {
        if (IsOption(argument))
            return UsageError(u"unknown option %1 for %2"_s.arg(argument, m_arguments.first()));
        return UsageError(u"unexpected argument \"%1\" for %2"_s.arg(argument, m_arguments.first()));
    }

    const QStringList& m_arguments;
    qsizetype m_next = 0;
    CommandLine m_result;
};

} // namespace

CommandLine ParseCommandLine(const QStringList& arguments)
{
    return Parser(arguments).parse();
}

} // namespace kelvo::cli
