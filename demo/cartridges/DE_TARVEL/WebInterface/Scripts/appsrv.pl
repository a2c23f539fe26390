#!/usr/bin/perl
# A small application server for the demo installation and the tests.
#
#   appsrv.pl [-localip HOST] -port PORT [-bind]
#
# It listens on HOST (127.0.0.1 when -localip is not given) and PORT and
# answers every HTTP GET with a small HTML page showing its port, pid and
# uptime. A request carrying the header "X-tarvel-EXTRAINFO: shutdown" (the
# supervisor's shutdown request, whose request line has no HTTP version) makes
# it close its socket and exit with code 0.
#
# -bind is accepted and shown on the page. The demo server always listens on
# exactly one address, never on the wildcard one, so that it can never be
# reached from outside the host by accident; -bind therefore changes nothing
# of where it listens.
#
# Behaviours for tests, switched on by the environment:
#   APPSRV_EXIT_CODE=n        exit at once with code n, without listening
#   APPSRV_CRASH_SIGNAL=n     kill itself with signal n once it listens
#   APPSRV_IGNORE_SHUTDOWN=1  answer the shutdown request but keep running
#   APPSRV_SHUTDOWN_DELAY=s   exit s seconds after the shutdown request
#   APPSRV_LOG=file           append one line to file when it listens and
#                             when the shutdown request arrives, so that a
#                             landscape can show that every server was asked
#   APPSRV_SAY=text           print "text port PORT" on standard output and
#                             standard error once it listens
#   APPSRV_IGNORE_TERM=1      ignore SIGTERM (only SIGKILL ends it)
#   APPSRV_LISTEN_DELAY=s     wait s seconds before it listens (a slow start)
#   APPSRV_WORKERS=n          preforked: n workers share the listening socket
#                             and answer; the master only waits. A worker that
#                             gets the shutdown request tells the master
#                             (SIGUSR2), which stops its workers and exits
#   APPSRV_HELPER=1           fork a helper that calls setsid() and sleeps; it
#                             does not hold the port and nothing stops it
#   APPSRV_NO_TERM_FORWARD=1  the master ends on SIGTERM without passing it to
#                             its workers (by default it passes it on first)
#   APPSRV_LEAK_MIB=n         the master grows by n MiB of touched memory per
#                             second
#   APPSRV_MARKER=text        every process of the tree shows "appsrv.pl ROLE
#                             -port PORT text" as its command line (ROLE is
#                             master, worker or helper), so that a test finds
#                             the whole tree in /proc; without it only workers
#                             and the helper rename themselves
#   APPSRV_NOTIFY=1           once it listens, send READY=1 to $NOTIFY_SOCKET
#                             (the sd_notify protocol: one datagram to a Unix
#                             socket; a leading '@' names an abstract one)
#   APPSRV_NOTIFY_STATUS=text with APPSRV_NOTIFY, send STATUS=text with it
#   APPSRV_NOTIFY=early       send READY=1 before it waits APPSRV_LISTEN_DELAY
#                             and listens (a server that says so too soon)
#   APPSRV_NOTIFY_WATCHDOG=1  once it listens, a child of its session sends
#                             WATCHDOG=1 every half $WATCHDOG_USEC until the
#                             server ends
#   APPSRV_NOTIFY_FLOOD=n     once it listens, send n datagrams the supervisor
#                             does not take ("FLOOD=1"), as fast as it reads them
# Each of them may be given for one port only, as NAME_PORT (for example
# APPSRV_SHUTDOWN_DELAY_8002=6), which wins over NAME.
#
# SIGUSR1 makes the server hang: it keeps its port open (connections are
# still queued by the kernel) but never answers again, as a server stuck in
# a deadlock would.
#
# SIGTERM (also the death signal armed by the supervisor) keeps its default
# action: the server ends at once. SIGINT is ignored: Ctrl-C in a terminal
# reaches the whole foreground process group, and the servers are to be
# stopped by their supervisor's shutdown request, not killed before it.
use strict;
use warnings;
use IO::Socket::IP;
use IO::Select;
use POSIX ();
use Socket qw(PF_UNIX SOCK_DGRAM pack_sockaddr_un);
use Time::HiRes ();

$SIG{INT} = 'IGNORE';

my ($localip, $port, $bind);
while (@ARGV) {
    my $arg = shift @ARGV;
    if ($arg eq '-localip') { $localip = shift @ARGV; }
    elsif ($arg eq '-port') { $port = shift @ARGV; }
    elsif ($arg eq '-bind') { $bind = 1; }
    else { die "appsrv.pl: unknown argument '$arg'\n"; }
}
die "appsrv.pl: -port missing\n" unless defined $port && $port =~ /^\d+$/;

# A test behaviour for this port, or for every port.
sub setting {
    my ($name) = @_;
    my $value = $ENV{"${name}_$port"};
    $value = $ENV{$name} unless defined $value && $value ne '';
    return (defined $value && $value ne '') ? $value : undef;
}

my $exitCode = setting('APPSRV_EXIT_CODE');
exit($exitCode) if defined $exitCode;
$SIG{TERM} = 'IGNORE' if setting('APPSRV_IGNORE_TERM');
my $hang = 0;
$SIG{USR1} = sub { $hang = 1; };
my $notify = setting('APPSRV_NOTIFY');
notify_ready() if defined $notify && $notify eq 'early';
my $listenDelay = setting('APPSRV_LISTEN_DELAY');
Time::HiRes::sleep($listenDelay) if defined $listenDelay && $listenDelay =~ /^\d+(\.\d+)?$/;

my $host = (defined $localip && $localip ne '') ? $localip : '127.0.0.1';
my $listener = IO::Socket::IP->new(
    LocalHost => $host,
    LocalPort => $port,
    Proto     => 'tcp',
    Listen    => 64,
    ReuseAddr => 1,
) or die "appsrv.pl: cannot listen on [$host]:$port: $@\n";

my $started = Time::HiRes::time();
note('listening');
notify_ready() if $notify && $notify ne 'early';
notify_flood(setting('APPSRV_NOTIFY_FLOOD')) if setting('APPSRV_NOTIFY_FLOOD');
start_keepalive() if setting('APPSRV_NOTIFY_WATCHDOG');

if (defined $ENV{APPSRV_SAY}) {
    STDOUT->autoflush(1);
    print STDOUT "$ENV{APPSRV_SAY} port $port on stdout\n";
    print STDERR "$ENV{APPSRV_SAY} port $port on stderr\n";
}

if (my $sig = setting('APPSRV_CRASH_SIGNAL')) {
    # Default dispositions, so that the signal ends the process as it would
    # end a broken server (with a core flag for SIGABRT, SIGSEGV, ...).
    $SIG{$_} = 'DEFAULT' for qw(ABRT SEGV TERM INT HUP);
    kill $sig, $$;
    sleep 5;    # a signal that does not end the process: exit visibly
    exit 3;
}

my $marker = setting('APPSRV_MARKER');
name_process('master') if defined $marker;
start_helper() if setting('APPSRV_HELPER');
my $leakMib = setting('APPSRV_LEAK_MIB');
$leakMib = undef unless defined $leakMib && $leakMib =~ /^\d{1,4}$/ && $leakMib > 0;
my @leak;
my $nextLeak = Time::HiRes::time() + 1;
my $workerCount = setting('APPSRV_WORKERS');
my @workers;
my $isWorker = 0;
my $masterPid = $$;
my $stop = 0;
$SIG{USR2} = sub { $stop = 1; };
if (defined $workerCount && $workerCount =~ /^\d{1,3}$/ && $workerCount > 0) {
    start_workers($workerCount);
    run_master() unless $isWorker;
}

my $select = IO::Select->new($listener);
while (1) {
    while ($hang) { sleep 1000; }
    # A leaking server must wake to leak even while no client comes.
    leak_on_time();
    next if defined $leakMib && !$select->can_read(0.2);
    my $client = $listener->accept or next;
    my ($requestLine, %headers) = read_request($client);
    if (!defined $requestLine) {
        close $client;
        next;
    }
    my $extra = $headers{'x-tarvel-extrainfo'};
    if (defined $extra && $extra =~ /^\s*shutdown\s*$/i) {
        close $client;    # the supervisor reads no reply
        if (setting('APPSRV_IGNORE_SHUTDOWN')) {
            note('shutdown request received, ignored');
            next;
        }
        close $listener;
        if ($isWorker) {
            # The master stops every worker and leaves; this one goes now.
            # Only while the master lives: a dead one's pid is no longer ours.
            kill 'USR2', $masterPid if getppid() == $masterPid;
            note('shutdown request received, worker exiting');
            exit 0;
        }
        note('shutdown request received, exiting');
        my $delay = setting('APPSRV_SHUTDOWN_DELAY');
        Time::HiRes::sleep($delay) if defined $delay && $delay =~ /^\d+(\.\d+)?$/;
        note('exiting');
        exit 0;
    }
    if ($requestLine =~ m{^GET\s}) {
        my $uptime = sprintf('%.1f', Time::HiRes::time() - $started);
        my $body = "<html><head><title>appsrv $port</title></head><body>\n"
            . "<h1>Application server</h1>\n"
            . "<p>port: $port</p>\n<p>pid: $$</p>\n<p>uptime: $uptime s</p>\n"
            . "<p>address: $host" . ($bind ? ' (bind)' : '') . "</p>\n"
            . "</body></html>\n";
        respond($client, '200 OK', $body);
    } else {
        respond($client, '405 Method Not Allowed', "<html><body>GET only</body></html>\n");
    }
    close $client;
}

# The command line this process shows in /proc: its role, port and marker.
sub name_process {
    my ($role) = @_;
    $0 = "appsrv.pl $role -port $port" . (defined $marker ? " $marker" : '');
}

# Grows by APPSRV_LEAK_MIB MiB for every second passed, touching each page.
sub leak_on_time {
    return unless defined $leakMib;
    while (Time::HiRes::time() >= $nextLeak) {
        push @leak, 'x' x ($leakMib * 1048576);
        $nextLeak += 1;
    }
}

# A helper that leaves the server's session, as a daemonising helper does.
sub start_helper {
    my $pid = fork();
    die "appsrv.pl: cannot fork the helper: $!\n" unless defined $pid;
    return if $pid;
    close $listener;
    POSIX::setsid() or die "appsrv.pl: setsid: $!\n";
    $SIG{TERM} = 'DEFAULT';
    name_process('helper');
    sleep 1000 while 1;
}

# Forks the workers; in each worker it returns with $isWorker set.
sub start_workers {
    my ($count) = @_;
    for (1 .. $count) {
        my $pid = fork();
        die "appsrv.pl: cannot fork a worker: $!\n" unless defined $pid;
        if ($pid == 0) {
            $isWorker = 1;
            @workers = ();
            $leakMib = undef;
            $SIG{TERM} = 'DEFAULT';
            name_process('worker');
            return;
        }
        push @workers, $pid;
    }
}

# The master of preforked workers: leaks if asked, reaps, and on the shutdown
# news from a worker (SIGUSR2) stops the workers and exits with code 0.
sub run_master {
    if (!setting('APPSRV_NO_TERM_FORWARD') && !setting('APPSRV_IGNORE_TERM')) {
        $SIG{TERM} = sub {
            kill 'TERM', @workers;
            $SIG{TERM} = 'DEFAULT';
            kill 'TERM', $$;
        };
    }
    while (!$stop) {
        leak_on_time();
        while ((my $ended = waitpid(-1, POSIX::WNOHANG())) > 0) {
            @workers = grep { $_ != $ended } @workers;
        }
        Time::HiRes::sleep(0.2);
    }
    kill 'TERM', @workers;
    waitpid($_, 0) for @workers;
    note('shutdown request received, exiting');
    my $delay = setting('APPSRV_SHUTDOWN_DELAY');
    Time::HiRes::sleep($delay) if defined $delay && $delay =~ /^\d+(\.\d+)?$/;
    note('exiting');
    exit 0;
}

# Appends "date time [pid] host:port event" to $APPSRV_LOG, when it is set. One
# write per line on a file opened for appending, so that the lines of many
# servers sharing the file do not mix.
sub note {
    my ($event) = @_;
    my $file = $ENV{APPSRV_LOG};
    return unless defined $file && $file ne '';
    open(my $fh, '>>', $file) or return;
    my @t = localtime;
    syswrite($fh, sprintf("%04d-%02d-%02d %02d:%02d:%02d [%d] %s:%s %s\n",
        $t[5] + 1900, $t[4] + 1, @t[3, 2, 1, 0], $$, $host, $port, $event));
    close $fh;
}

# Tells the supervisor that the server listens, as systemd's sd_notify does.
sub notify_ready {
    my $path = $ENV{NOTIFY_SOCKET};
    return unless defined $path && $path =~ m{^[/@]};
    $path =~ s/^@/\0/;
    my $message = "READY=1\n";
    my $status = setting('APPSRV_NOTIFY_STATUS');
    $message .= "STATUS=$status\n" if defined $status;
    socket(my $socket, PF_UNIX, SOCK_DGRAM, 0) or return;
    send($socket, $message, 0, pack_sockaddr_un($path));
    close $socket;
}

# Forks the process that keeps the supervisor's watchdog: not the server
# itself, so that the supervisor must know it by its session.
sub start_keepalive {
    my $path = $ENV{NOTIFY_SOCKET};
    my $usec = $ENV{WATCHDOG_USEC};
    return unless defined $path && $path =~ m{^/} && defined $usec && $usec =~ /^\d+$/ && $usec > 0;
    my $parent = $$;
    my $pid = fork();
    die "appsrv.pl: cannot fork the keep-alive: $!\n" unless defined $pid;
    return if $pid;
    close $listener;
    $SIG{TERM} = 'DEFAULT';
    socket(my $socket, PF_UNIX, SOCK_DGRAM, 0) or exit 1;
    my $to = pack_sockaddr_un($path);
    while (getppid() == $parent) {
        send($socket, "WATCHDOG=1\n", 0, $to);
        Time::HiRes::sleep($usec / 2e6);
    }
    exit 0;
}

# Sends `count` datagrams that mean nothing to the supervisor; each waits
# while its queue is full.
sub notify_flood {
    my ($count) = @_;
    my $path = $ENV{NOTIFY_SOCKET};
    return unless defined $path && $path =~ m{^/} && $count =~ /^\d+$/;
    socket(my $socket, PF_UNIX, SOCK_DGRAM, 0) or return;
    my $to = pack_sockaddr_un($path);
    send($socket, "FLOOD=1\n", 0, $to) for 1 .. $count;
    close $socket;
}

# Reads the request line and the headers up to the empty line; gives up on a
# client that sends nothing for 5 seconds, so one stuck client cannot block
# the server. Returns nothing for a connection closed before a request.
sub read_request {
    my ($client) = @_;
    my $select = IO::Select->new($client);
    my $buffer = '';
    while ($buffer !~ /\r?\n\r?\n/ && length($buffer) < 65536) {
        last unless $select->can_read(5);
        my $n = sysread($client, $buffer, 4096, length $buffer);
        last unless $n;
    }
    my @lines = split /\r?\n/, $buffer;
    my $requestLine = shift @lines;
    return unless defined $requestLine && $requestLine ne '';
    my %headers;
    for my $line (@lines) {
        last if $line eq '';
        $headers{lc $1} = $2 if $line =~ /^([^:]+):\s*(.*)$/;
    }
    return ($requestLine, %headers);
}

sub respond {
    my ($client, $status, $body) = @_;
    my $reply = "HTTP/1.0 $status\r\nContent-Type: text/html\r\n"
        . 'Content-Length: ' . length($body) . "\r\nConnection: close\r\n\r\n" . $body;
    local $SIG{PIPE} = 'IGNORE';
    syswrite($client, $reply);
}
