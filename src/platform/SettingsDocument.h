#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>

#include <optional>

namespace kelvo {

using SettingPairs = QList<QPair<QString, QString>>;

// One application's settings held in memory: sections of key/value pairs. Section and key names
// match without regard to case; a section keeps its keys in first-written order. Lookups go through
// hashes of the case-folded names, so a large file loads in time linear in its size, and in memory a
// few times its size: a file of many sets holds many small sections that repeat the same keys.
class SettingsDocument final
{
public:
    QString GetSetting(const QString& section, const QString& key, const QString& defaultValue = {}) const;
    // nullopt when the key (or its section) does not exist, so a stored "" can be told from a gap.
    std::optional<QString> FindSetting(const QString& section, const QString& key) const;
    // Overwriting a key keeps its place and the spelling it was first written with.
    void SaveSetting(const QString& section, const QString& key, const QString& value);
    bool DeleteSetting(const QString& section); // false when the section does not exist
    SettingPairs GetAllSettings(const QString& section) const;
    bool isEmpty() const;

    // Text form of the file (UTF-8); every section name, key and value round-trips exactly.
    QByteArray serialize() const;
    // Returns false and leaves the document empty when the text cannot be parsed.
    bool parse(const QByteArray& text);

private:
    struct Section
    {
        QString name;
        SettingPairs pairs;
        // The hash of each case-folded key, in the order of pairs: a lookup folds a stored key only when
        // its hash matches.
        QList<size_t> keyHashes;
        // case-folded key -> position in pairs, only in a section too long to search in a row (the list
        // of sets): a hash table costs more than a set's dozen keys.
        QHash<QString, qsizetype> keyIndex;

        qsizetype position(const QString& foldedKey, size_t hash) const; // -1 when missing
        void append(const QString& key, const QString& value, const QString& foldedKey, size_t hash);
        void squeeze();
    };
    // One shared copy of each short text a parse meets: a file repeats the same keys and values
    // ("flEnabled", "True") in the section of every set.
    using TextPool = QSet<QString>;

    qsizetype findSection(const QString& name) const; // -1 when missing
    qsizetype sectionFor(const QString& name);
    qsizetype sectionToWrite(const QString& name);
    void saveInSection(Section& section, const QString& key, const QString& value);
    bool parseLine(QStringView line, qsizetype& currentSection, TextPool& pool);
    void clear();

    QList<Section> m_sections;
    QHash<QString, qsizetype> m_sectionIndex; // case-folded name -> position in m_sections
    qsizetype m_written = -1;                 // the section written last, -1 for none
};

} // namespace kelvo
