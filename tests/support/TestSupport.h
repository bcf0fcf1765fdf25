#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <string>

namespace kelvo {
class SettingsStore;
}

namespace kelvo::test {

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end of the test.
class TempDir final
{
public:
    TempDir();
    ~TempDir();
    Q_DISABLE_COPY_MOVE(TempDir)

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv final
{
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    Q_DISABLE_COPY_MOVE(ScopedEnv)

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// Gives the test its own settings and data locations inside a temporary directory.
class IsolatedHome final
{
public:
    IsolatedHome();
    const TempDir& dir() const { return m_dir; }
    std::string configDir() const { return m_dir / "config"; }

private:
    TempDir m_dir;
    ScopedEnv m_home, m_config, m_data, m_runtime;
};

// Stores an enabled one-way set with sub directories, copying by date, as an editor would.
void StoreSet(SettingsStore& store, const QString& name, const std::string& source,
              const std::string& destination);

void WriteFile(const std::string& path, const QByteArray& contents);
QByteArray ReadFile(const std::string& path);
bool RunningAsRoot();
int FailureNumber(const std::function<void()>& action); // 0 when action raises no Failure
unsigned ModeOf(const std::string& path);               // of a link itself
int AttributesOf(const std::string& path);              // AttrReadOnly, AttrArchive, ...
void SetAttributesOf(const std::string& path, int attributes);
// The I/O priority (as ioprio_get gives it) and the nice value of a thread; 0 is the calling thread.
int ThreadIoPriority(int thread = 0);
int ThreadNice(int thread = 0);
// Whether the calling thread is in the idle I/O class, as a run beside the user's work puts it.
bool AtIdleIoClass();
// Whether the test was started at a run's low priority already, where lowering it shows nothing.
bool StartedAtLowPriority();
// Runs body in a child process and gives its exit code; an exception in the child gives 99.
int RunInChild(const std::function<int()>& body);
// These run body in a child process that sees directory on a mount of its own and give its exit code,
// or nullopt when the system allows no such mount. A private tmpfs of the given size: a full disk
// without root.
std::optional<int> InPrivateTmpfs(const std::string& directory, qint64 bytes,
                                  const std::function<int()>& body);
// A read-only bind mount, whoever the body runs as.
std::optional<int> InReadOnlyDirectory(const std::string& directory, const std::function<int()>& body);
// "btrfs" or "xfs" on a fresh loop image, or "fuse": bindfs over the directory itself. Only as root.
std::optional<int> OnFileSystemOfItsOwn(const std::string& directory, const std::string& kind,
                                        const std::function<int()>& body);

} // namespace kelvo::test
