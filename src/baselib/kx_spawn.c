#include "baselib/kx_spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "baselib/kx_regularfile.h"

#ifndef CLONE_CLEAR_SIGHAND
#define CLONE_CLEAR_SIGHAND 0x100000000ULL
#endif
#ifndef CLONE_INTO_CGROUP
#define CLONE_INTO_CGROUP 0x200000000ULL
#endif

/* The child's stack, on the caller's: the caller waits until the child has
 * exec'd or ended, and the failure line (two line buffers) fits well. */
#define KX_SPAWN_STACK_SIZE (64 * 1024)
#define KX_SPAWN_LINE_SIZE 8192

typedef struct SpawnChild {
    const KXSpawnRequest *request;
    pid_t parent;
    int inCgroup;        /* placed in its cgroup by the clone itself */
    int handlersCleared; /* handled signals reset to default by the clone */
} SpawnChild;

/* ---- the child: async-signal-safe calls only, no heap, no locks ---- */

typedef struct Line {
    char text[KX_SPAWN_LINE_SIZE];
    size_t used;
} Line;

static void Append(Line *line, const char *text)
{
    while (text != NULL && *text != '\0' && line->used < sizeof(line->text) - 1)
        line->text[line->used++] = *text++;
    line->text[line->used] = '\0';
}

/* The OS's words for error, as strerror gives them in the C locale, but
 * without strerror's locale lookups. */
static const char *Reason(int error)
{
    const char *text = strerrordesc_np(error);

    return text != NULL ? text : "Unknown error";
}

/* Logs "StartProcess(): <what><subject> (<reason>)". */
static void LogFailure(const KXSpawnRequest *request, const char *what, const char *subject,
                       const char *close, const char *reason)
{
    Line line = {{0}, 0};

    Append(&line, "StartProcess(): ");
    Append(&line, what);
    Append(&line, subject);
    Append(&line, close);
    Append(&line, " (");
    Append(&line, reason);
    Append(&line, ")");
    KXLogWriteSignalSafe(request->log, line.text);
}

/* Why the output file at path was refused, in the words the service uses
 * for its own output file. A symbolic link gets the OS's words. */
static const char *OutputRefusal(const char *path, int error)
{
    struct stat info;

    if (error != ELOOP && lstat(path, &info) == 0 && !S_ISREG(info.st_mode) &&
        !S_ISLNK(info.st_mode))
        return "refused: it is not a regular file";
    return Reason(error);
}

/* Standard output and error go to the server's own file, appended, never
 * through a symbolic link, never blocking on a FIFO. On failure the line is
 * logged and the output stays with the service's, where nothing is lost
 * either. */
static void RedirectOutput(const KXSpawnRequest *request)
{
    int fd;

    if (request->outputPath == NULL)
        return;
    fd = open(request->outputPath,
              O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd < 0 || KXKeepRegularFile(fd) != ERROR_NONE) {
        LogFailure(request, "cannot open output file ", request->outputPath, "",
                   OutputRefusal(request->outputPath, errno));
        return;
    }
    if (dup2(fd, STDOUT_FILENO) < 0 || dup2(fd, STDERR_FILENO) < 0)
        LogFailure(request, "cannot redirect output to ", request->outputPath, "",
                   Reason(errno));
    close(fd);
}

/* The signals ignored by this process, as the kernel reports them; 0 when
 * they cannot be read. */
static int ReadIgnored(uint64_t *ignored)
{
    char text[4096];
    const char *field;
    ssize_t n;
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);

    if (fd < 0)
        return 0;
    n = read(fd, text, sizeof(text) - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    field = strstr(text, "\nSigIgn:\t");
    if (field == NULL)
        return 0;
    *ignored = 0;
    for (field += 9; (*field >= '0' && *field <= '9') || (*field >= 'a' && *field <= 'f'); ++field)
        *ignored = *ignored << 4 | (uint64_t)(*field <= '9' ? *field - '0' : *field - 'a' + 10);
    return 1;
}

/* Every signal back to its default and none blocked: an ignored signal and
 * the mask would survive the exec, and the server must start with the
 * defaults. The caller blocked all signals before the clone, so none of its
 * handlers can run here, in its memory. When the kernel has already reset
 * the handled signals (handlersCleared), only the ignored ones are left to
 * reset: exec resets handled ones anyway, and the daemon ignores one or
 * two, so this saves some 60 system calls per start. sigaction refuses
 * SIGKILL, SIGSTOP and the C library's own signals: those need no reset.
 * Returns sigprocmask's result. */
static int ResetSignals(int handlersCleared)
{
    struct sigaction defaults;
    sigset_t none;
    uint64_t ignored = ~(uint64_t)0;
    int sig;

    if (!handlersCleared || !ReadIgnored(&ignored))
        ignored = ~(uint64_t)0;
    memset(&defaults, 0, sizeof(defaults));
    defaults.sa_handler = SIG_DFL;
    for (sig = 1; sig < NSIG && sig <= 64; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP && (ignored >> (sig - 1) & 1) != 0)
            sigaction(sig, &defaults, NULL);
    sigemptyset(&none);
    return sigprocmask(SIG_SETMASK, &none, NULL);
}

/* Moves the child into the cgroup whose directory is fd. */
static int EnterCgroup(int fd)
{
    int procs = openat(fd, "cgroup.procs", O_WRONLY | O_CLOEXEC);
    int ok;

    if (procs < 0)
        return -1;
    ok = write(procs, "0", 1) == 1;
    close(procs);
    return ok ? 0 : -1;
}

static int RunChild(void *argument)
{
    const SpawnChild *child = argument;
    const KXSpawnRequest *request = child->request;
    int error;

    if (request->newSession && setsid() < 0) {
        LogFailure(request, "cannot start a session for command \"", request->command, "\"",
                   Reason(errno));
        _exit(1);
    }
    /* If the parent died before the death signal was armed, getppid() has
     * already changed and nobody would deliver it. */
    if (request->deathSignal != 0 &&
        (prctl(PR_SET_PDEATHSIG, request->deathSignal) != 0 || getppid() != child->parent))
        _exit(1);
    if (ResetSignals(child->handlersCleared) != 0) {
        LogFailure(request, "cannot unblock the signals for command \"", request->command, "\"",
                   Reason(errno));
        _exit(1);
    }
    RedirectOutput(request);
    if (request->cgroupFd >= 0 && !child->inCgroup && EnterCgroup(request->cgroupFd) != 0) {
        LogFailure(request, "cannot enter the cgroup for command \"", request->command, "\"",
                   Reason(errno));
        _exit(1);
    }
    error = request->argvError;
    if (error == 0 && request->argv[0] == NULL)
        error = ENOENT;
    if (error == 0) {
        /* execve is async-signal-safe; environ is read, not changed. */
        execve(request->argv[0], request->argv, request->envp != NULL ? request->envp : environ);
        error = errno;
    }
    LogFailure(request, "failed for command \"", request->command, "\"", Reason(error));
    _exit(1);
}

/* ---- the parent ---- */

#if defined(__x86_64__) && defined(SYS_clone3)
/* The kernel's clone3 arguments, as its ABI fixes them. */
typedef struct CloneArgs {
    uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls, setTid,
        setTidSize, cgroup;
} CloneArgs;

/* clone3 with the child on its own stack: the C library has no wrapper, and
 * a child sharing memory cannot return through the caller's frames, so the
 * child's side calls run(argument) and exits from here. */
static long Clone3(CloneArgs *args, int (*run)(void *), void *argument)
{
    register long rax __asm__("rax") = SYS_clone3;
    register CloneArgs *rdi __asm__("rdi") = args;
    register long rsi __asm__("rsi") = (long)sizeof(*args);
    register int (*r12)(void *) __asm__("r12") = run;
    register void *r13 __asm__("r13") = argument;

    __asm__ volatile("syscall\n\t"
                     "testq %%rax, %%rax\n\t"
                     "jnz 1f\n\t"
                     "xorl %%ebp, %%ebp\n\t"
                     "movq %%r13, %%rdi\n\t"
                     "callq *%%r12\n\t"
                     "movl %%eax, %%edi\n\t"
                     "movl %[exitCall], %%eax\n\t"
                     "syscall\n\t"
                     "hlt\n"
                     "1:\n\t"
                     : "+r"(rax)
                     : "r"(rdi), "r"(rsi), "r"(r12), "r"(r13), [exitCall] "i"(SYS_exit)
                     : "rcx", "r11", "memory", "cc");
    return rax;
}

/* The child, with its handled signals reset by the kernel and, given a
 * cgroup, placed in it as it is made, so that nothing it starts can ever
 * run outside; -1 with errno when clone3 could not, ENOSYS when this kernel
 * or machine lacks it. */
static pid_t Clone3Child(SpawnChild *child, char *stack)
{
    CloneArgs args;
    long pid;

    memset(&args, 0, sizeof(args));
    args.flags = CLONE_VM | CLONE_VFORK | CLONE_CLEAR_SIGHAND;
    if (child->request->cgroupFd >= 0) {
        args.flags |= CLONE_INTO_CGROUP;
        args.cgroup = (uint64_t)child->request->cgroupFd;
    }
    args.exitSignal = SIGCHLD;
    args.stack = (uint64_t)(uintptr_t)stack;
    args.stackSize = KX_SPAWN_STACK_SIZE;
    child->inCgroup = child->request->cgroupFd >= 0;
    child->handlersCleared = 1;
    pid = Clone3(&args, RunChild, child);
    child->inCgroup = child->handlersCleared = 0;
    if (pid < 0) {
        errno = (int)-pid;
        return -1;
    }
    return (pid_t)pid;
}
#else
static pid_t Clone3Child(SpawnChild *child, char *stack)
{
    (void)child;
    (void)stack;
    errno = ENOSYS;
    return -1;
}
#endif

pid_t KXSpawn(const KXSpawnRequest *request)
{
    /* 16-byte aligned, as the ABI wants the stack at a call. */
    char stack[KX_SPAWN_STACK_SIZE] __attribute__((aligned(16)));
    SpawnChild child;
    sigset_t all, previous;
    pid_t pid = -1;
    int error;

    if (request == NULL || (request->argv == NULL && request->argvError == 0)) {
        errno = EINVAL;
        return -1;
    }
    child.request = request;
    child.parent = getpid();
    child.inCgroup = child.handlersCleared = 0;
    /* No handler of this process may run in the child, which shares its
     * memory; the child sets its own mask before the exec. */
    sigfillset(&all);
    error = pthread_sigmask(SIG_BLOCK, &all, &previous);
    if (error != 0) {
        errno = error;
        return -1;
    }
    /* Kernels before 5.7 lack clone3's cgroup (E2BIG, EINVAL) or clone3
     * itself (ENOSYS): the plain clone, with the child doing all. */
    pid = Clone3Child(&child, stack);
    if (pid < 0 && (errno == ENOSYS || errno == E2BIG || errno == EINVAL))
        pid = clone(RunChild, stack + sizeof(stack), CLONE_VM | CLONE_VFORK | SIGCHLD, &child);
    error = errno;
    /* Cannot fail: the mask is the one it gave. */
    pthread_sigmask(SIG_SETMASK, &previous, NULL);
    errno = error;
    return pid;
}
