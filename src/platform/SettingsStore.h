#pragma once

#include <QList>
#include <QPair>
#include <QString>

#include <functional>

namespace kelvo {

using SettingPairs = QList<QPair<QString, QString>>;

// One application's settings held in memory: sections of key/value pairs. Section and key names
// match without regard to case; a section keeps its keys in first-written order.
class SettingsDocument final
{
public:
    QString GetSetting(const QString& section, const QString& key, const QString& defaultValue = {}) const;
    void SaveSetting(const QString& section, const QString& key, const QString& value);
    bool DeleteSetting(const QString& section); // false when the section does not exist
    SettingPairs GetAllSettings(const QString& section) const;
    bool isEmpty() const;

    // Text form of the file; every value round-trips exactly.
    QByteArray serialize() const;
    // nullopt-like: returns false and leaves the document empty when the text cannot be parsed.
    bool parse(const QByteArray& text);

private:
    struct Section
    {
        QString name;
        SettingPairs pairs;
    };
    Section* findSection(const QString& name);
    const Section* findSection(const QString& name) const;

    QList<Section> m_sections;
};

// The per-user settings store: one human-readable file per application under
// $XDG_CONFIG_HOME/kelvo (default ~/.config/kelvo). Every change locks the file, re-reads it,
// changes it and replaces it atomically, so two processes never lose each other's writes and a
// crash leaves either the old or the new file. Failures to write raise kelvo::Failure.
class SettingsStore final
{
public:
    SettingsStore(); // the location of the current user
    explicit SettingsStore(QString directory);

    const QString& directory() const { return m_directory; }
    QString filePath(const QString& application) const;

    QString GetSetting(const QString& application, const QString& section, const QString& key,
                       const QString& defaultValue = {}) const;
    void SaveSetting(const QString& application, const QString& section, const QString& key,
                     const QString& value);
    // Raises 5 when the section does not exist; callers that expect that may ignore it.
    void DeleteSetting(const QString& application, const QString& section);
    SettingPairs GetAllSettings(const QString& application, const QString& section) const;

    // The whole application as it is now on disk.
    SettingsDocument Read(const QString& application) const;
    // Lock, re-read, change, write all or nothing.
    void Update(const QString& application, const std::function<void(SettingsDocument&)>& change);

private:
    QString m_directory;
};

} // namespace kelvo
