#include "baselib/kx_spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifndef CLONE_CLEAR_SIGHAND
#define CLONE_CLEAR_SIGHAND 0x100000000ULL
#endif
#ifndef CLONE_INTO_CGROUP
#define CLONE_INTO_CGROUP 0x200000000ULL
#endif

/* Children whose steps may run at once: enough to keep two CPUs busy while
 * the caller goes on. Each has a stack of its own in this process's memory,
 * of which the child touches a few pages. */
#define KX_SPAWN_SLOTS 4
#define KX_SPAWN_STACK_SIZE (32 * 1024)
#define KX_SPAWN_FAILURES 2
/* How long the caller waits for a child's exec. A child stopped before it
 * (SIGSTOP, a debugger) must not stall supervision: its slot is left to it
 * until it execs or ends. */
#define KX_SPAWN_EXEC_WAIT_SECONDS 10

/* What the child could not do, for the caller to log. */
typedef enum Step {
    STEP_SESSION,
    STEP_UNBLOCK,
    STEP_OUTPUT_OPEN,
    STEP_OUTPUT_TYPE, /* the output path is not a regular file */
    STEP_OUTPUT_REDIRECT,
    STEP_CGROUP,
    STEP_EXEC
} Step;

typedef struct Failure {
    Step step;
    int error;
} Failure;

/* One child from its clone to its exec or end. The caller does not touch a
 * busy slot; the kernel clears `busy`, with a futex wake, when the child
 * execs or ends (CLONE_CHILD_CLEARTID). */
typedef struct Slot {
    volatile int busy;
    int leftBusy;        /* its child outlasted the wait; not used until it is done */
    pid_t pid;
    pid_t parent;
    int inCgroup;        /* placed in its cgroup by the clone itself */
    int handlersCleared; /* handled signals reset to default by the clone */
    KXSpawnRequest request; /* the caller's, pointing into `copy` */
    char *copy;
    Failure failures[KX_SPAWN_FAILURES];
    int failureCount;
    char stack[KX_SPAWN_STACK_SIZE] __attribute__((aligned(16)));
} Slot;

static Slot gSlots[KX_SPAWN_SLOTS];
static unsigned gNextSlot;
static pthread_mutex_t gSlotLock = PTHREAD_MUTEX_INITIALIZER;

/* ---- the child: bare system calls only, no errno, no heap, no locks ----
 * It runs on the caller's memory while the caller goes on: a C library call
 * that set errno would change the caller's thread's errno under its feet. */

#if defined(__x86_64__)
/* A system call without the C library; -errno on failure. */
static long Sys(long number, long a, long b, long c, long d)
{
    register long r10 __asm__("r10") = d;
    long result;

    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10)
                     : "rcx", "r11", "memory");
    return result;
}
#else
/* Elsewhere the caller waits for each exec (no overlap): errno is the
 * waiting thread's own. */
static long Sys(long number, long a, long b, long c, long d)
{
    long result = syscall(number, a, b, c, d);

    return result == -1 ? -errno : result;
}
#endif

static void NoteFailure(Slot *slot, Step step, long error)
{
    if (slot->failureCount < KX_SPAWN_FAILURES) {
        slot->failures[slot->failureCount].step = step;
        slot->failures[slot->failureCount].error = (int)-error;
        slot->failureCount++;
    }
}

static __attribute__((noreturn)) void Fail(Slot *slot, Step step, long error)
{
    NoteFailure(slot, step, error);
    for (;;)
        Sys(SYS_exit_group, 1, 0, 0, 0);
}

/* The signals ignored by this process, as the kernel reports them; 0 when
 * they cannot be read. */
static int ReadIgnored(uint64_t *ignored)
{
    char text[4096];
    const char *field;
    long n, fd = Sys(SYS_openat, AT_FDCWD, (long)"/proc/self/status", O_RDONLY | O_CLOEXEC, 0);

    if (fd < 0)
        return 0;
    n = Sys(SYS_read, fd, (long)text, sizeof(text) - 1, 0);
    Sys(SYS_close, fd, 0, 0, 0);
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

/* The kernel's sigaction, as rt_sigaction takes it. */
typedef struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)(void);
    uint64_t mask;
} KernelSigaction;

/* Every signal back to its default and none blocked: an ignored signal and
 * the mask would survive the exec, and the server must start with the
 * defaults. The caller blocked all signals before the clone, so none of its
 * handlers can run here, in its memory. When the kernel has already reset
 * the handled signals (handlersCleared), only the ignored ones are left to
 * reset: exec resets handled ones anyway, and the daemon ignores one or
 * two, so this saves some 60 system calls per start. The kernel refuses
 * SIGKILL and SIGSTOP, which need no reset. Returns the mask's result. */
static long ResetSignals(int handlersCleared)
{
    KernelSigaction defaults;
    uint64_t ignored = ~(uint64_t)0, none = 0;
    int sig;

    if (!handlersCleared || !ReadIgnored(&ignored))
        ignored = ~(uint64_t)0;
    memset(&defaults, 0, sizeof(defaults));
    defaults.handler = SIG_DFL;
    for (sig = 1; sig <= 64; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP && (ignored >> (sig - 1) & 1) != 0)
            Sys(SYS_rt_sigaction, sig, (long)&defaults, 0, sizeof(uint64_t));
    return Sys(SYS_rt_sigprocmask, SIG_SETMASK, (long)&none, 0, sizeof(uint64_t));
}

/* Makes fd `target` refer to what fd refers to. */
static long Redirect(long fd, long target)
{
    return fd == target ? 0 : Sys(SYS_dup3, fd, target, 0, 0);
}

/* Standard output and error go to the server's own file, appended, never
 * through a symbolic link, never blocking on a FIFO. On failure the output
 * stays with the service's, where nothing is lost either. */
static void RedirectOutput(Slot *slot)
{
    const char *path = slot->request.outputPath;
    struct stat info;
    long fd, flags, error;

    if (path == NULL)
        return;
    fd = Sys(SYS_openat, AT_FDCWD, (long)path,
             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0640);
    if (fd < 0) {
        /* A path that is there but no regular file gets the service's own
         * words; a symbolic link gets the OS's. */
        if (fd != -ELOOP && Sys(SYS_newfstatat, AT_FDCWD, (long)path, (long)&info,
                                AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode))
            NoteFailure(slot, STEP_OUTPUT_TYPE, 0);
        else
            NoteFailure(slot, STEP_OUTPUT_OPEN, fd);
        return;
    }
    /* I/O on a regular file never waits; the flag is cleared so that the
     * server gets an ordinary descriptor. */
    error = Sys(SYS_fstat, fd, (long)&info, 0, 0);
    if (error == 0 && !S_ISREG(info.st_mode)) {
        NoteFailure(slot, STEP_OUTPUT_TYPE, 0);
        Sys(SYS_close, fd, 0, 0, 0);
        return;
    }
    flags = error == 0 ? Sys(SYS_fcntl, fd, F_GETFL, 0, 0) : error;
    error = flags < 0 ? flags : Sys(SYS_fcntl, fd, F_SETFL, flags & ~O_NONBLOCK, 0);
    if (error < 0) {
        NoteFailure(slot, STEP_OUTPUT_OPEN, error);
        Sys(SYS_close, fd, 0, 0, 0);
        return;
    }
    error = Redirect(fd, STDOUT_FILENO);
    if (error >= 0)
        error = Redirect(fd, STDERR_FILENO);
    if (error < 0)
        NoteFailure(slot, STEP_OUTPUT_REDIRECT, error);
    if (fd > STDERR_FILENO)
        Sys(SYS_close, fd, 0, 0, 0);
}

/* Moves the child into the cgroup whose directory is fd. */
static long EnterCgroup(int fd)
{
    long written, procs = Sys(SYS_openat, fd, (long)"cgroup.procs", O_WRONLY | O_CLOEXEC, 0);

    if (procs < 0)
        return procs;
    written = Sys(SYS_write, procs, (long)"0", 1, 0);
    Sys(SYS_close, procs, 0, 0, 0);
    return written < 0 ? written : 0;
}

static int RunChild(void *argument)
{
    Slot *slot = argument;
    const KXSpawnRequest *request = &slot->request;
    char *const *envp = request->envp != NULL ? request->envp : environ;
    long result;

    if (request->newSession && (result = Sys(SYS_setsid, 0, 0, 0, 0)) < 0)
        Fail(slot, STEP_SESSION, result);
    /* If the parent died before the death signal was armed, getppid() has
     * already changed and nobody would deliver it. */
    if (request->deathSignal != 0 &&
        (Sys(SYS_prctl, PR_SET_PDEATHSIG, request->deathSignal, 0, 0) != 0 ||
         Sys(SYS_getppid, 0, 0, 0, 0) != slot->parent))
        for (;;)
            Sys(SYS_exit_group, 1, 0, 0, 0);
    if ((result = ResetSignals(slot->handlersCleared)) != 0)
        Fail(slot, STEP_UNBLOCK, result);
    RedirectOutput(slot);
    if (request->cgroupFd >= 0 && !slot->inCgroup && (result = EnterCgroup(request->cgroupFd)) != 0)
        Fail(slot, STEP_CGROUP, result);
    result = -request->argvError;
    if (result == 0 && request->argv[0] == NULL)
        result = -ENOENT;
    if (result == 0)
        result = Sys(SYS_execve, (long)request->argv[0], (long)request->argv, (long)envp, 0);
    Fail(slot, STEP_EXEC, result);
}

/* ---- the parent ---- */

/* The OS's words for error, as strerror gives them in the C locale, but
 * without strerror's locale lookups. */
static const char *Reason(int error)
{
    const char *text = strerrordesc_np(error);

    return text != NULL ? text : "Unknown error";
}

/* Logs what the child of a settled slot could not do, as its own lines. */
static void LogFailures(const Slot *slot)
{
    /* Each step's line: a text, the command or the output path, the reason. */
    static const struct {
        const char *format;
        int aboutOutput;
    } kLines[] = {
        [STEP_SESSION] = {"StartProcess(): cannot start a session for command \"%s\" (%s)", 0},
        [STEP_UNBLOCK] = {"StartProcess(): cannot unblock the signals for command \"%s\" (%s)", 0},
        [STEP_OUTPUT_OPEN] = {"StartProcess(): cannot open output file %s (%s)", 1},
        [STEP_OUTPUT_TYPE] = {"StartProcess(): cannot open output file %s (%s)", 1},
        [STEP_OUTPUT_REDIRECT] = {"StartProcess(): cannot redirect output to %s (%s)", 1},
        [STEP_CGROUP] = {"StartProcess(): cannot enter the cgroup for command \"%s\" (%s)", 0},
        [STEP_EXEC] = {"StartProcess(): failed for command \"%s\" (%s)", 0},
    };
    const KXSpawnRequest *request = &slot->request;
    char line[9000];
    int i;

    for (i = 0; i < slot->failureCount; ++i) {
        const Failure *failure = &slot->failures[i];
        const char *reason = failure->step == STEP_OUTPUT_TYPE ? "refused: it is not a regular file"
                                                               : Reason(failure->error);

        snprintf(line, sizeof(line), kLines[failure->step].format,
                 kLines[failure->step].aboutOutput ? request->outputPath : request->command, reason);
        /* Without the time zone's lock, as the child would have written it:
         * a thread that holds that lock must not hold up a start. */
        KXLogWriteSignalSafeFor(request->log, slot->pid, line);
    }
}

/* True once the slot's child has exec'd or ended, waiting for that until
 * `deadline` (CLOCK_MONOTONIC) at the latest. */
static int AwaitExec(Slot *slot, const struct timespec *deadline)
{
    int busy;

    while ((busy = __atomic_load_n(&slot->busy, __ATOMIC_ACQUIRE)) != 0) {
        struct timespec now, left;

        clock_gettime(CLOCK_MONOTONIC, &now);
        left.tv_sec = deadline->tv_sec - now.tv_sec;
        left.tv_nsec = deadline->tv_nsec - now.tv_nsec;
        if (left.tv_nsec < 0) {
            left.tv_nsec += 1000000000L;
            left.tv_sec--;
        }
        if (left.tv_sec < 0)
            return 0;
        syscall(SYS_futex, &slot->busy, FUTEX_WAIT, busy, &left, NULL, 0);
    }
    return 1;
}

/* Waits until the slot's child has exec'd or ended, logs its failures and
 * frees its copy of the request; a slot already left busy is only looked
 * at. Returns 0, or -1 when the child is still before its exec. Called
 * with gSlotLock held. */
static int Settle(Slot *slot)
{
    struct timespec deadline;

    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += slot->leftBusy ? 0 : KX_SPAWN_EXEC_WAIT_SECONDS;
    if (!AwaitExec(slot, &deadline)) {
        if (!slot->leftBusy)
            KXLogWrite(slot->request.log,
                       "StartProcess(): pid %d has not reached its exec within %d s; "
                       "its start slot is left to it",
                       (int)slot->pid, KX_SPAWN_EXEC_WAIT_SECONDS);
        slot->leftBusy = 1;
        return -1;
    }
    slot->leftBusy = 0;
    if (slot->copy == NULL)
        return 0;
    LogFailures(slot);
    slot->failureCount = 0;
    free(slot->copy);
    slot->copy = NULL;
    return 0;
}

/* Copies a null-ended vector of texts to `*at`; returns the copy. */
static char **CopyVector(char *const *vector, size_t count, char ***pointers, char **at)
{
    char **copy = *pointers;
    size_t i;

    for (i = 0; i < count; ++i) {
        size_t length = strlen(vector[i]) + 1;

        copy[i] = memcpy(*at, vector[i], length);
        *at += length;
    }
    copy[count] = NULL;
    *pointers += count + 1;
    return copy;
}

static size_t Count(char *const *vector, size_t *bytes)
{
    size_t count = 0;

    for (; vector != NULL && vector[count] != NULL; ++count)
        *bytes += strlen(vector[count]) + 1;
    return count;
}

static char *CopyText(const char *text, char **at)
{
    size_t length;

    if (text == NULL)
        return NULL;
    length = strlen(text) + 1;
    *at += length;
    return memcpy(*at - length, text, length);
}

/* Takes a copy of the request and all it points to into the slot, which
 * the child reads while the caller's own may be gone. 0, or -1 with errno. */
static int CopyRequest(Slot *slot, const KXSpawnRequest *request)
{
    size_t bytes = 0, argc = Count(request->argv, &bytes), envc = Count(request->envp, &bytes);
    char **pointers;
    char *at;

    bytes += strlen(request->command != NULL ? request->command : "") + 1;
    bytes += request->outputPath != NULL ? strlen(request->outputPath) + 1 : 0;
    slot->copy = malloc((argc + envc + 2) * sizeof(char *) + bytes);
    if (slot->copy == NULL)
        return -1;
    pointers = (char **)slot->copy;
    at = slot->copy + (argc + envc + 2) * sizeof(char *);
    slot->request = *request;
    slot->request.argv = CopyVector(request->argv, argc, &pointers, &at);
    slot->request.envp = request->envp != NULL ? CopyVector(request->envp, envc, &pointers, &at) : NULL;
    slot->request.command = CopyText(request->command != NULL ? request->command : "", &at);
    slot->request.outputPath = CopyText(request->outputPath, &at);
    slot->failureCount = 0;
    return 0;
}

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
 * run outside. With overlap the caller does not wait: the kernel clears
 * the slot's busy word at the child's exec or end. -1 with errno when clone3 could not,
 * ENOSYS when this kernel or machine lacks it. */
static pid_t Clone3Child(Slot *slot)
{
    CloneArgs args;
    long pid;

    memset(&args, 0, sizeof(args));
    args.flags = CLONE_VM | CLONE_CLEAR_SIGHAND | CLONE_CHILD_CLEARTID;
    /* Without overlap the kernel holds the caller until the exec, and lets
     * the child run at once: measured, a lone restart is faster so than
     * with the caller waiting on the slot itself. */
    if (!slot->request.overlap)
        args.flags |= CLONE_VFORK;
    args.childTid = (uint64_t)(uintptr_t)&slot->busy;
    if (slot->request.cgroupFd >= 0) {
        args.flags |= CLONE_INTO_CGROUP;
        args.cgroup = (uint64_t)slot->request.cgroupFd;
    }
    args.exitSignal = SIGCHLD;
    args.stack = (uint64_t)(uintptr_t)slot->stack;
    args.stackSize = KX_SPAWN_STACK_SIZE;
    slot->inCgroup = slot->request.cgroupFd >= 0;
    slot->handlersCleared = 1;
    slot->busy = 1;
    pid = Clone3(&args, RunChild, slot);
    if (pid < 0) {
        slot->busy = 0;
        errno = (int)-pid;
        return -1;
    }
    return (pid_t)pid;
}
#else
static pid_t Clone3Child(Slot *slot)
{
    (void)slot;
    errno = ENOSYS;
    return -1;
}
#endif

/* Kernels before 5.7 lack clone3's cgroup (E2BIG, EINVAL) or clone3 itself
 * (ENOSYS): the plain clone, with the child doing all and the caller
 * waiting for its exec. */
static pid_t CloneWaiting(Slot *slot)
{
    slot->inCgroup = slot->handlersCleared = 0;
    return clone(RunChild, slot->stack + sizeof(slot->stack), CLONE_VM | CLONE_VFORK | SIGCHLD, slot);
}

/* Starts the slot's child with every signal blocked: no handler of this
 * process may run in the child, which shares its memory; the child sets its
 * own mask before the exec. */
static pid_t StartChild(Slot *slot)
{
    sigset_t all, previous;
    pid_t pid;
    int error;

    sigfillset(&all);
    error = pthread_sigmask(SIG_BLOCK, &all, &previous);
    if (error != 0) {
        errno = error;
        return -1;
    }
    slot->parent = getpid();
    pid = Clone3Child(slot);
    if (pid < 0 && (errno == ENOSYS || errno == E2BIG || errno == EINVAL))
        pid = CloneWaiting(slot);
    error = errno;
    /* Cannot fail: the mask is the one it gave. */
    pthread_sigmask(SIG_SETMASK, &previous, NULL);
    errno = error;
    return pid;
}

/* The next slot whose child is done; NULL when every one is left busy. */
static Slot *FreeSlot(void)
{
    size_t tried;

    for (tried = 0; tried < KX_SPAWN_SLOTS; ++tried) {
        Slot *slot = &gSlots[gNextSlot++ % KX_SPAWN_SLOTS];

        if (Settle(slot) == 0)
            return slot;
    }
    return NULL;
}

pid_t KXSpawn(const KXSpawnRequest *request)
{
    Slot *slot;
    pid_t pid = -1;
    int error = 0;

    if (request == NULL || (request->argv == NULL && request->argvError == 0)) {
        errno = EINVAL;
        return -1;
    }
    pthread_mutex_lock(&gSlotLock);
    slot = FreeSlot();
    if (slot == NULL) {
        error = EAGAIN;
    } else if (CopyRequest(slot, request) == 0) {
        pid = StartChild(slot);
        error = errno;
        slot->pid = pid;
        if (pid < 0) {
            free(slot->copy);
            slot->copy = NULL;
        } else if (!request->overlap) {
            Settle(slot);
        }
    } else {
        error = errno;
    }
    pthread_mutex_unlock(&gSlotLock);
    errno = error;
    return pid;
}

void KXSpawnFinish(void)
{
    size_t i;

    pthread_mutex_lock(&gSlotLock);
    for (i = 0; i < KX_SPAWN_SLOTS; ++i)
        Settle(&gSlots[i]);
    pthread_mutex_unlock(&gSlotLock);
}
