#pragma once

#include "platform/SettingsDocument.h"

#include <QSet>
#include <QString>

#include <functional>
#include <optional>
#include <string>

namespace kelvo {

// No settings file comes near this; a bigger one is a mistake that must not eat the memory. Older
// versions refuse a larger file too, so no save may write one.
inline constexpr qint64 LargestSettingsFile = 64 * 1024 * 1024;

// $XDG_CONFIG_HOME/kelvo, or ~/.config/kelvo when the variable is unset or relative (the XDG rules
// ignore a relative one).
QString UserConfigDirectory();

// The per-user settings store: one human-readable file per application under UserConfigDirectory().
// Every change locks the application, re-reads its file, changes it and replaces it atomically, so
// two processes never lose each other's writes and a crash leaves either the old or the new file. A
// file that is a symbolic link is written at the link's target. Failures raise kelvo::Failure.
//
// A file that cannot be parsed is never overwritten: it is renamed aside (".unreadable-<time>"),
// reported in one line on stderr, and the application starts from an empty store. A file that is not
// a regular file, or is larger than largestFile, is refused and left as it is; so is a save that would
// make the file larger than that.
class SettingsStore final
{
public:
    SettingsStore(); // the location of the current user
    // Tests lower largestFile to try the limit without files of its real size.
    explicit SettingsStore(QString directory, qint64 largestFile = LargestSettingsFile);

    const QString& directory() const { return m_directory; }
    QString filePath(const QString& application) const;
    // True when anything (a file, a link) stands at the application's file path.
    bool Exists(const QString& application) const;

    QString GetSetting(const QString& application, const QString& section, const QString& key,
                       const QString& defaultValue = {}) const;
    void SaveSetting(const QString& application, const QString& section, const QString& key,
                     const QString& value);
    // Raises 5 when the section does not exist; callers that expect that may ignore it.
    void DeleteSetting(const QString& application, const QString& section);
    SettingPairs GetAllSettings(const QString& application, const QString& section) const;

    // The whole application as it is now on disk.
    SettingsDocument Read(const QString& application) const;
    // Lock, re-read, change, write all or nothing. When change throws, or the file would grow past the
    // largest this store reads, nothing is written.
    void Update(const QString& application, const std::function<void(SettingsDocument&)>& change);
    // Runs work while this process holds the application's lock, so that a read, a decision and the
    // write that follows it are one step for every other process. Reads and updates inside work reuse
    // the lock.
    void Exclusively(const QString& application, const std::function<void()>& work) const;

    // Renames the application's file to "<file>.<suffix>" (numbered when that name is taken); nothing
    // happens when there is no file.
    void Retire(const QString& application, const std::string& suffix);

private:
    std::string encodedFilePath(const QString& application) const;
    // Callers hold the application's lock.
    SettingsDocument readLocked(const QString& application) const;
    std::optional<QByteArray> readFile(const std::string& path) const;
    void write(const QString& application, const QByteArray& contents);

    QString m_directory;
    qint64 m_largestFile;
    // The applications whose lock this object holds now.
    mutable QSet<QString> m_held;
};

} // namespace kelvo
