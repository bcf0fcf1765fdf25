#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace kelvo {

using SettingPairs = QList<QPair<QString, QString>>;

// One application's settings held in memory: sections of key/value pairs. Section and key names
// match without regard to case; a section keeps its keys in first-written order. Lookups go through
// hashes of the case-folded names, so a large file loads in time linear in its size.
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

    // Text form of the file; every section name, key and value round-trips exactly.
    QByteArray serialize() const;
    // Returns false and leaves the document empty when the text cannot be parsed.
    bool parse(const QByteArray& text);

private:
    struct Section
    {
        QString name;
        SettingPairs pairs;
        QHash<QString, qsizetype> keyIndex; // case-folded key -> position in pairs
    };
    qsizetype findSection(const QString& name) const; // -1 when missing
    qsizetype sectionFor(const QString& name);
    void saveInSection(Section& section, const QString& key, const QString& value);
    bool parseLine(QStringView line, qsizetype& currentSection);
    void clear();

    QList<Section> m_sections;
    QHash<QString, qsizetype> m_sectionIndex; // case-folded name -> position in m_sections
};

} // namespace kelvo
