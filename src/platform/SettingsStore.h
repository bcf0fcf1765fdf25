#pragma once

#include "platform/SettingsDocument.h"

#include <QString>

#include <functional>
#include <string>

namespace kelvo {

// The per-user settings store: one human-readable file per application under
// $XDG_CONFIG_HOME/kelvo (default ~/.config/kelvo). Every change locks the file, re-reads it,
// changes it and replaces it atomically, so two processes never lose each other's writes and a
// crash leaves either the old or the new file. Failures to write raise kelvo::Failure.
//
// A file that cannot be parsed is never overwritten: it is renamed aside (".unreadable-<time>"),
// reported in one line on stderr, and the application starts from an empty store.
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
    // Lock, re-read, change, write all or nothing. When change throws, nothing is written.
    void Update(const QString& application, const std::function<void(SettingsDocument&)>& change);

private:
    std::string encodedFilePath(const QString& application) const;
    // Callers hold the application's lock.
    SettingsDocument readLocked(const QString& application) const;
    void removeStaleTemporaries(const QString& application) const;

    QString m_directory;
};

} // namespace kelvo
