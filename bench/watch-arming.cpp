// Times the change watch on a generated tree: arming it, arming it again over a running watch, and
// the way from a file written in the deepest directory to changed().
//
//     kelvo_bench_watch [directories]      (default 10000)

#include "schedule/ChangeWatch.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int FanOut = 10;
constexpr int Repeats = 5;
constexpr int LatencySamples = 50;

// Breadth first, FanOut directories in each: the last one made is one of the deepest.
std::string MakeTree(const std::string& root, int directories)
{
    std::deque<std::string> parents{root};
    std::string last = root;
    for (int made = 0; made < directories;) {
        const std::string parent = parents.front();
        parents.pop_front();
        for (int i = 0; i < FanOut && made < directories; ++i, ++made) {
            last = parent + "/d" + std::to_string(i);
            fs::create_directory(last);
            parents.push_back(last);
        }
    }
    return last;
}

int CountWatches(int descriptor)
{
    std::ifstream info("/proc/self/fdinfo/" + std::to_string(descriptor));
    int count = 0;
    for (std::string line; std::getline(info, line);)
        count += line.starts_with("inotify wd:");
    return count;
}

double Milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double TimedStart(kelvo::ChangeWatch& watch, const QString& root)
{
    const Clock::time_point start = Clock::now();
    const QString problem = watch.StartWatch(root, true);
    const double elapsed = Milliseconds(Clock::now() - start);
    if (!problem.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(problem));
    return elapsed;
}

// From the write to the signal, through the event loop; nothing else is pending.
double ChangeLatency(kelvo::ChangeWatch& watch, const std::string& file)
{
    QEventLoop loop;
    Clock::time_point signalled;
    const auto connection = QObject::connect(&watch, &kelvo::ChangeWatch::changed, &loop, [&] {
        signalled = Clock::now();
        loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    const Clock::time_point written = Clock::now();
    std::ofstream(file, std::ios::app) << 'x';
    loop.exec();
    QObject::disconnect(connection);
    watch.TakeChange();
    return signalled == Clock::time_point() ? -1 : Milliseconds(signalled - written);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const int directories = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    const char* tmp = std::getenv("TMPDIR");
    std::string root = std::string(tmp && *tmp ? tmp : "/tmp") + "/kelvo-bench-watch-XXXXXX";
    if (!mkdtemp(root.data()))
        return 1;
    const std::string deepest = MakeTree(root, directories);
    const QString rootText = QString::fromStdString(root);

    kelvo::ChangeWatch watch;
    const double firstArm = TimedStart(watch, rootText);
    std::vector<double> reArms;
    for (int i = 0; i < Repeats; ++i)
        reArms.push_back(TimedStart(watch, rootText));
    const int watches = CountWatches(watch.WatchHandle());

    std::vector<double> latencies;
    for (int i = 0; i < LatencySamples; ++i)
        latencies.push_back(ChangeLatency(watch, deepest + "/file"));
    watch.StopWatch();
    fs::remove_all(root);

    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("directories          %d (%d levels below the root)\n", directories,
                int(std::count(deepest.begin() + long(root.size()), deepest.end(), '/')));
    std::printf("watches              %d\n", watches);
    std::printf("first StartWatch     %.1f ms\n", firstArm);
    std::printf("StartWatch again     %.1f ms (median of %d, old watch replaced)\n", Median(reArms), Repeats);
    std::printf("write -> changed()   %.3f ms median, %.3f ms worst of %d\n", Median(latencies),
                *std::max_element(latencies.begin(), latencies.end()), LatencySamples);
    std::printf("peak RSS             %ld KiB\n", usage.ru_maxrss);
    const bool allSeen = std::none_of(latencies.begin(), latencies.end(), [](double ms) { return ms < 0; });
    return watches == directories + 1 && allSeen ? 0 : 1;
}
