#!/usr/bin/perl
# The parts of scripts/landscape.sh that are easier in perl than in bash.
# Core perl modules only.
#
#   landscape-helper.pl init-pid MARK
#       the process id (in the caller's pid namespace) of the first process
#       of a pid namespace whose command line has the word MARK
#   landscape-helper.pl processes
#       run inside a host: one line per tarvelsvc daemon ("daemon PID") and
#       per application server ("server PORT PID PPID LOCALIP"); processes
#       that have ended (state Z) are left out
#   landscape-helper.pl http SECONDS TARGET...
#       TARGET is ADDRESS:PORT or ADDRESS:FIRST-LAST. Sends GET / to every
#       target until it has answered with the page of the application server
#       on that address and port, or SECONDS have passed. Prints
#       "answered A of T last EPOCH" and then "missing ADDRESS:PORT REASON"
#       for each target that never answered; exits 0 when all answered.
#   landscape-helper.pl prom URL QUERY
#       asks the Prometheus at URL (http://ADDRESS:PORT) for the instant
#       QUERY; prints one line per sample, "LABEL=VALUE,... VALUE" with the
#       labels sorted (the metric's name as __name__), the lines sorted;
#       exits 1 with the reason when Prometheus did not answer the query
#   landscape-helper.pl prom-rules URL
#       the rules that Prometheus at URL has loaded: "GROUP NAME HEALTH" lines
use strict;
use warnings;
use Errno qw(EAGAIN EINPROGRESS);
use Fcntl qw(F_GETFL F_SETFL O_NONBLOCK);
use Socket qw(PF_INET SOCK_STREAM IPPROTO_TCP SOL_SOCKET SO_ERROR inet_aton pack_sockaddr_in);
use Time::HiRes qw(time);

my $command = shift @ARGV // '';
if ($command eq 'init-pid' && @ARGV == 1) {
    exit(init_pid($ARGV[0]));
} elsif ($command eq 'processes' && @ARGV == 0) {
    exit(processes());
} elsif ($command eq 'http' && @ARGV >= 2 && $ARGV[0] =~ /^\d+(\.\d+)?$/) {
    exit(http(@ARGV));
} elsif ($command eq 'prom' && @ARGV == 2) {
    exit(prom(@ARGV));
} elsif ($command eq 'prom-rules' && @ARGV == 1) {
    exit(prom_rules(@ARGV));
}
die "usage: $0 init-pid MARK | processes | http SECONDS TARGET... | prom URL QUERY | prom-rules URL\n";

sub read_file {
    my ($path) = @_;
    open(my $fh, '<', $path) or return undef;
    local $/;
    my $text = <$fh>;
    close $fh;
    return $text;
}

sub pids {
    opendir(my $dh, '/proc') or die "landscape-helper: /proc: $!\n";
    return grep { /^\d+$/ } readdir $dh;
}

sub init_pid {
    my ($mark) = @_;
    for my $pid (pids()) {
        my $status = read_file("/proc/$pid/status") // next;
        my ($nspids) = $status =~ /^NSpid:\s*(.*)$/m or next;
        my @ids = split ' ', $nspids;
        next unless @ids >= 2 && $ids[-1] == 1;
        my $cmdline = read_file("/proc/$pid/cmdline") // next;
        next unless grep { $_ eq $mark } split /\0/, $cmdline;
        print "$pid\n";
        return 0;
    }
    return 1;
}

sub processes {
    my @lines;
    for my $pid (pids()) {
        my $status = read_file("/proc/$pid/status") // next;
        next if $status =~ /^State:\s*Z/m;
        my ($ppid) = $status =~ /^PPid:\s*(\d+)/m;
        my @argv = split /\0/, (read_file("/proc/$pid/cmdline") // next);
        my $exe = readlink("/proc/$pid/exe") // '';
        if ($exe =~ m{/tarvelsvc$}) {
            push @lines, [0, "daemon $pid"];
        } elsif (grep { m{/appsrv\.pl$} } @argv) {
            my ($localip, $port) = ('-', 0);
            for my $i (0 .. $#argv - 1) {
                $localip = $argv[$i + 1] if $argv[$i] eq '-localip';
                $port = $argv[$i + 1] if $argv[$i] eq '-port';
            }
            push @lines, [$port, "server $port $pid $ppid $localip"];
        }
    }
    print "$_->[1]\n" for sort { $a->[0] <=> $b->[0] || $a->[1] cmp $b->[1] } @lines;
    return 0;
}

# The page of the application server on ADDRESS:PORT, or the reason why not.
sub judge {
    my ($address, $port, $reply) = @_;
    return 'reply is not 200 OK' unless $reply =~ m{^HTTP/1\.\d 200 };
    return 'page shows another server' unless $reply =~ m{<p>port: \Q$port\E</p>}
        && $reply =~ m{<p>address: \Q$address\E( \(bind\))?</p>};
    return '';
}

# Asks the targets concurrently (at most 64 connections at a time, each
# given 5 s), and asks again after 0.1 s those that did not answer, until all
# answered or the time is up. One slow server does not delay the others.
sub http {
    my ($seconds, @targets) = @_;
    my @queue;
    for my $target (@targets) {
        my ($address, $first, $last) = $target =~ /^([\d.]+):(\d+)(?:-(\d+))?$/
            or die "landscape-helper: bad target '$target'\n";
        push @queue, map { { address => $address, port => $_, due => 0 } } $first .. ($last // $first);
    }
    my $total = @queue;
    my $deadline = time() + $seconds;
    my ($answered, $lastAnswer, @given_up, %active) = (0, 0);
    my $request = "GET / HTTP/1.0\r\n\r\n";
    my $retry = sub {
        my ($t, $why) = @_;
        $t->{reason} = $why;
        if ($t->{socket}) {
            delete $active{fileno $t->{socket}};
            close $t->{socket};
        }
        delete @$t{qw(socket reply)};
        if (time() >= $deadline) {
            push @given_up, $t;
        } else {
            $t->{due} = time() + 0.1;
            push @queue, $t;
        }
    };
    while (@queue || %active) {
        my $now = time();
        my @waiting;
        while (@queue && keys(%active) < 64) {
            my $t = shift @queue;
            if ($t->{due} > $now) { push @waiting, $t; next; }
            my $socket;
            unless (socket($socket, PF_INET, SOCK_STREAM, IPPROTO_TCP)) { $retry->($t, "socket: $!"); next; }
            my $flags = fcntl($socket, F_GETFL, 0);
            fcntl($socket, F_SETFL, $flags | O_NONBLOCK);
            unless (connect($socket, pack_sockaddr_in($t->{port}, inet_aton($t->{address})))
                    || $! == EINPROGRESS) {
                my $why = "connect: $!";
                close $socket;
                $retry->($t, $why);
                next;
            }
            @$t{qw(socket reply started sent)} = ($socket, '', $now, 0);
            $active{fileno $socket} = $t;
        }
        unshift @queue, @waiting;
        my ($rin, $win) = ('', '');
        for my $t (values %active) {
            vec($t->{sent} ? $rin : $win, fileno $t->{socket}, 1) = 1;
        }
        select(my $rout = $rin, my $wout = $win, undef, 0.1);
        $now = time();
        for my $fd (keys %active) {
            my $t = $active{$fd} or next;
            if (!$t->{sent} && vec($wout, $fd, 1)) {
                my $error = getsockopt($t->{socket}, SOL_SOCKET, SO_ERROR);
                my $code = $error ? unpack('i', $error) : 0;
                if ($code) { $! = $code; $retry->($t, "connect: $!"); next; }
                local $SIG{PIPE} = 'IGNORE';
                unless (syswrite($t->{socket}, $request)) { $retry->($t, "send: $!"); next; }
                $t->{sent} = 1;
            } elsif ($t->{sent} && vec($rout, $fd, 1)) {
                my $n = sysread($t->{socket}, $t->{reply}, 4096, length $t->{reply});
                if (!defined $n) { $retry->($t, "receive: $!") unless $! == EAGAIN; next; }
                if ($n == 0 || length($t->{reply}) >= 65536) {
                    my $why = judge($t->{address}, $t->{port}, $t->{reply});
                    if ($why ne '') { $retry->($t, $why); next; }
                    close $t->{socket};
                    delete $active{$fd};
                    $answered++;
                    $lastAnswer = $now;
                }
            }
            $retry->($t, 'no reply within 5 s') if $active{$fd} && $now - $t->{started} > 5;
        }
        last if !%active && @queue && time() >= $deadline;
    }
    push @given_up, @queue;
    printf "answered %d of %d last %.6f\n", $answered, $total, $lastAnswer;
    print "missing $_->{address}:$_->{port} $_->{reason}\n" for @given_up;
    return @given_up ? 1 : 0;
}

# GET of Prometheus's HTTP API: the decoded "data", or undef after saying why.
sub prom_api {
    my ($url, $path, $query) = @_;
    require HTTP::Tiny;
    require JSON::PP;
    my $http = HTTP::Tiny->new(timeout => 5);
    my $full = "$url$path" . (defined $query ? '?' . $http->www_form_urlencode({query => $query}) : '');
    my $reply = $http->get($full);
    my $body = eval { JSON::PP::decode_json($reply->{content}) };
    unless ($reply->{success} && $body && ($body->{status} // '') eq 'success') {
        my $why = $body ? ($body->{error} // 'no error given') : $reply->{content};
        print STDERR "landscape-helper: $full: $reply->{status}: $why\n";
        return undef;
    }
    return $body->{data};
}

sub prom {
    my ($url, $query) = @_;
    my $data = prom_api($url, '/api/v1/query', $query) or return 1;
    my @lines;
    if ($data->{resultType} eq 'vector') {
        for my $sample (@{$data->{result}}) {
            my $metric = $sample->{metric};
            my $labels = join ',', map { "$_=$metric->{$_}" } sort keys %$metric;
            push @lines, "$labels $sample->{value}[1]";
        }
    } elsif ($data->{resultType} eq 'scalar') {
        push @lines, $data->{result}[1];
    }
    print "$_\n" for sort @lines;
    return 0;
}

sub prom_rules {
    my ($url) = @_;
    my $data = prom_api($url, '/api/v1/rules') or return 1;
    for my $group (@{$data->{groups}}) {
        print "$group->{name} $_->{name} $_->{health}\n" for @{$group->{rules}};
    }
    return 0;
}
