// Linked into the programs of the coverage build only.
//
// A program that a test runs under a file size limit writes its coverage
// counters when it ends, after its own work, and the counter files are
// larger than such a limit: the write would end the program with SIGXFSZ,
// or leave a counter file cut short. Just before the counters are written
// the limit is lifted where the process may do so (a soft limit under an
// unlimited hard one, or with the privilege to raise a hard one); where it
// may not, that run's counters are dropped whole.
#include <cstdlib>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Destructors of a higher priority number run earlier: this one runs
// before the counters are written.
__attribute__((destructor(101))) void before_the_counters()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (limit.rlim_max == RLIM_INFINITY && setrlimit(RLIMIT_FSIZE, &limit) == 0)
        return;
    rlimit lifted{RLIM_INFINITY, RLIM_INFINITY};
    if (setrlimit(RLIMIT_FSIZE, &lifted) == 0)
        return;
    // The counters go to a path that cannot be made, and the complaints
    // about it nowhere: the program has printed all it prints.
    setenv("GCOV_PREFIX", "/dev/null", 1);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0 && null != 2) {
        dup2(null, 2);
        close(null);
    }
}

} // namespace

// The editor at a terminal hands over to its line-editing build with execv,
// which would drop the counters of all it did before: they are written
// first, and counted on from zero when the handover fails (the programs are
// linked with --wrap=execv).
// A program that a signal ends after a write it stopped raises that signal
// again for itself: its counters are written first (linked with
// --wrap=raise).
extern "C" {
void __gcov_dump();
void __gcov_reset();
int __real_execv(const char* path, char* const argv[]);
int __real_raise(int signal);

int __wrap_raise(int signal)
{
    __gcov_dump();
    return __real_raise(signal);
}

int __wrap_execv(const char* path, char* const argv[])
{
    __gcov_dump();
    int failed = __real_execv(path, argv);
    __gcov_reset();
    return failed;
}
}
