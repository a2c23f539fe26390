/* The benchmarks' baseline and their server, linked against libc only, so
 * that neither carries the daemon's libraries:
 *
 *   libc_loop loop PROGRAM SCRIPT SERVERS FIRSTPORT
 *       the bare supervisor: forks and execs SERVERS servers
 *       ("PROGRAM SCRIPT -port P"), then for ever a blocking waitpid for any
 *       child and the same server again;
 *   libc_loop spawner
 *       a small spawner: for each pid-sized request read on fd 0 it starts
 *       "libc_loop exit" as a child of its own parent (CLONE_PARENT) and
 *       writes the pid to fd 1;
 *   libc_loop exit
 *       ends at once: the least a started program can cost;
 *   <anything>/perl SCRIPT -port P
 *       the server: its first act is to append "S P pid ns" (CLOCK_MONOTONIC)
 *       to the file BENCH_REPORTS; then it listens on 127.0.0.1:P, answers
 *       any request with 200, and ends on the service's shutdown request or
 *       a signal. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static long long NowNs(void)
{
    struct timespec now;

    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000000LL + now.tv_nsec;
}

static int PortOf(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (strcmp(argv[i], "-port") == 0)
            return atoi(argv[i + 1]);
    return 0;
}

static void Report(int port, long long begun)
{
    const char *path = getenv("BENCH_REPORTS");
    char line[96];
    int fd, n;

    if (path == NULL || (fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC)) < 0)
        return;
    n = snprintf(line, sizeof(line), "S %d %d %lld\n", port, (int)getpid(), begun);
    if (write(fd, line, (size_t)n) != n)
        _exit(4);
    close(fd);
}

static int Serve(int argc, char **argv)
{
    const long long begun = NowNs();
    const int port = PortOf(argc, argv);
    struct sockaddr_in address;
    int fd, one = 1;

    Report(port, begun);
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0 ||
        bind(fd, (struct sockaddr *)&address, sizeof(address)) != 0 || listen(fd, 128) != 0)
        return 3;
    signal(SIGPIPE, SIG_IGN);
    for (;;) {
        char request[4096];
        const char reply[] = "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nok\n";
        ssize_t n;
        int client = accept4(fd, NULL, NULL, SOCK_CLOEXEC);

        if (client < 0)
            continue;
        /* The readiness probe connects and closes: read gives 0. */
        n = read(client, request, sizeof(request) - 1);
        if (n > 0) {
            request[n] = '\0';
            if (strstr(request, "shutdown") != NULL)
                _exit(0);
            if (write(client, reply, sizeof(reply) - 1) < 0)
                n = 0;
        }
        close(client);
    }
}

static pid_t StartServer(char **argv, int port)
{
    char text[16];
    char *args[] = {argv[2], argv[3], "-port", text, NULL};
    pid_t pid;

    snprintf(text, sizeof(text), "%d", port);
    pid = fork();
    if (pid == 0) {
        execv(args[0], args);
        _exit(127);
    }
    if (pid < 0)
        _exit(1);
    return pid;
}

/* The ports by slot; slots are found again by pid when a server ends. */
static int Loop(char **argv)
{
    const int servers = atoi(argv[4]), first = atoi(argv[5]);
    pid_t *pids = calloc((size_t)servers, sizeof(pid_t));

    if (pids == NULL)
        return 1;
    for (int i = 0; i < servers; ++i)
        pids[i] = StartServer(argv, first + i);
    for (;;) {
        pid_t ended = waitpid(-1, NULL, 0);

        if (ended < 0)
            return 0;
        for (int i = 0; i < servers; ++i)
            if (pids[i] == ended)
                pids[i] = StartServer(argv, first + i);
    }
}

static char gStack[64 * 1024] __attribute__((aligned(16)));
static char *gExitArgs[3];

static int ExecExit(void *unused)
{
    (void)unused;
    execv(gExitArgs[0], gExitArgs);
    _exit(127);
}

static int Spawner(char *self)
{
    pid_t request, pid;

    gExitArgs[0] = self;
    gExitArgs[1] = "exit";
    while (read(0, &request, sizeof(request)) == sizeof(request)) {
        pid = clone(ExecExit, gStack + sizeof(gStack), CLONE_PARENT | CLONE_VM | CLONE_VFORK | SIGCHLD,
                    NULL);
        if (write(1, &pid, sizeof(pid)) != sizeof(pid))
            return 1;
    }
    return 0;
}

int main(int argc, char **argv)
{
    const char *name = strrchr(argv[0], '/');

    if (name != NULL && strcmp(name, "/perl") == 0)
        return Serve(argc, argv);
    if (argc == 6 && strcmp(argv[1], "loop") == 0)
        return Loop(argv);
    if (argc == 2 && strcmp(argv[1], "spawner") == 0)
        return Spawner(argv[0]);
    if (argc == 2 && strcmp(argv[1], "exit") == 0)
        return 0;
    fprintf(stderr, "usage: libc_loop loop PROGRAM SCRIPT SERVERS FIRSTPORT | spawner | exit\n");
    return 2;
}
