#include "support/TestSupport.h"

#include "platform/Failure.h"
#include "platform/FileSystem.h"
#include "platform/SettingsStore.h"

#include <QFile>

#include <cstdlib>
#include <filesystem>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvo::test {

void StoreSet(SettingsStore& store, const QString& name, const std::string& source,
              const std::string& destination)
{
    const QString section = QStringLiteral("Sets\\") + name;
    store.Update(QStringLiteral("Kelvo"), [&](SettingsDocument& document) {
        document.SaveSetting(QStringLiteral("Sets"), name, name);
        document.SaveSetting(section, QStringLiteral("SourceDirFile"), QString::fromStdString(source));
        document.SaveSetting(section, QStringLiteral("DestDir"), QString::fromStdString(destination));
        for (const QString& field : QStringLiteral("flEnabled=True flSubDirectories=True flOverwrite=True "
                                                   "Filters=*.* CopyOptions=OpDate SyncOptions=srcToDest")
                                        .split(u' '))
            document.SaveSetting(section, field.section(u'=', 0, 0), field.section(u'=', 1));
    });
}

TempDir::TempDir()
{
    const char* tmp = std::getenv("TMPDIR");
    m_path = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvo-test-XXXXXX";
    if (!mkdtemp(m_path.data()))
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir()
{
    namespace fs = std::filesystem;
    std::error_code ignored; // a test may leave read-only directories behind: they must go too
    for (auto it = fs::recursive_directory_iterator(m_path, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(m_path, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_name(name)
{
    if (const char* old = std::getenv(name))
        m_old = old;
    setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    (void)(m_old ? setenv(m_name.c_str(), m_old->c_str(), 1) : unsetenv(m_name.c_str()));
}

IsolatedHome::IsolatedHome()
    : m_home("HOME", m_dir / "home"), m_config("XDG_CONFIG_HOME", m_dir / "config"),
      m_data("XDG_DATA_HOME", m_dir / "data"), m_runtime("XDG_RUNTIME_DIR", m_dir / "runtime")
{
    for (const char* sub : {"home", "config", "data", "runtime"})
        std::filesystem::create_directories(m_dir / sub);
    std::filesystem::permissions(m_dir / "runtime", std::filesystem::perms::owner_all);
}

void WriteFile(const std::string& path, const QByteArray& contents)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        throw std::runtime_error("cannot write " + path);
}

QByteArray ReadFile(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path);
    return file.readAll();
}

int FailureNumber(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

unsigned ModeOf(const std::string& path)
{
    struct stat st = {};
    if (::lstat(path.c_str(), &st) != 0)
        throw std::runtime_error("cannot stat " + path);
    return st.st_mode & 07777;
}

int AttributesOf(const std::string& path)
{
    return File::GetFile(path).Attributes();
}

void SetAttributesOf(const std::string& path, int attributes)
{
    File::GetFile(path).SetAttributes(attributes);
}

bool RunningAsRoot()
{
    return geteuid() == 0;
}

int ThreadIoPriority(int thread)
{
    return int(syscall(SYS_ioprio_get, 1 /* IOPRIO_WHO_PROCESS: one thread */, thread));
}

int ThreadNice(int thread)
{
    return getpriority(PRIO_PROCESS, id_t(thread));
}

bool AtIdleIoClass()
{
    return ThreadIoPriority() >> 13 == 3; // IOPRIO_CLASS_IDLE
}

bool StartedAtLowPriority()
{
    return ThreadNice() >= 10 || AtIdleIoClass();
}

int RunInChild(const std::function<int()>& body)
{
    if (const pid_t child = fork(); child != 0) {
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int code = 99;
    try {
        code = body();
    } catch (...) {
    }
    _exit(code);
}

namespace {

constexpr int Refused = 77;

// Runs body in a child process once prepare has set up its mounts; nullopt when it could not.
std::optional<int> InChildWithMounts(const std::function<bool()>& prepare, const std::function<int()>& body)
{
    const int code = RunInChild([&] { return prepare() ? body() : Refused; });
    return code == Refused || code < 0 ? std::nullopt : std::optional(code);
}

// Runs body in a child process that is root of its own user and mount namespaces, whose mounts nobody
// else sees, once mountDirectory has changed them.
std::optional<int> InPrivateMount(const std::function<bool()>& mountDirectory,
                                  const std::function<int()>& body)
{
    const QByteArray uid = QByteArray::number(getuid()), gid = QByteArray::number(getgid());
    return InChildWithMounts(
        [&] {
            if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
                return false;
            WriteFile("/proc/self/setgroups", "deny");
            WriteFile("/proc/self/uid_map", "0 " + uid + " 1");
            WriteFile("/proc/self/gid_map", "0 " + gid + " 1");
            return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 && mountDirectory();
        },
        body);
}

// The commands that put a file system of kind on directory, the image beside it.
std::string MountCommand(const std::string& directory, const std::string& kind)
{
    const std::string image = directory + ".img";
    return kind == "fuse"
               ? "bindfs '" + directory + "' '" + directory + "'"
               : "truncate -s 320M '" + image + "' && mkfs." + kind + " -q '" + image +
                     "' && mount -o loop '" + image + "' '" + directory + "' && rm '" + image + "'";
}

} // namespace

std::optional<int> InPrivateTmpfs(const std::string& directory, qint64 bytes,
                                  const std::function<int()>& body)
{
    const std::string options = "size=" + std::to_string(bytes);
    return InPrivateMount([&] { return mount("none", directory.c_str(), "tmpfs", 0, options.c_str()) == 0; },
                          body);
}

std::optional<int> InReadOnlyDirectory(const std::string& directory, const std::function<int()>& body)
{
    const char* path = directory.c_str();
    return InPrivateMount(
        [&] {
            return mount(path, path, nullptr, MS_BIND, nullptr) == 0 &&
                   mount(nullptr, path, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        },
        body);
}

std::optional<int> OnFileSystemOfItsOwn(const std::string& directory, const std::string& kind,
                                        const std::function<int()>& body)
{
    if (!RunningAsRoot())
        return std::nullopt;
    const auto mountIt = [&] {
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               std::system(("(" + MountCommand(directory, kind) + ") >/dev/null 2>&1").c_str()) == 0;
    };
    return InChildWithMounts(mountIt, [&] {
        const int result = body();
        // A FUSE daemon lives on until its file system is unmounted.
        return std::system(("umount '" + directory + "'").c_str()) == 0 ? result : 98;
    });
}

} // namespace kelvo::test
