#!/usr/bin/perl
# The log after a power cut, against what the instruments sent (powercut.sh).
#   powercut-check.pl CUT PERIOD SYNC DIR SENT0 SENT1 ...
# DIR holds the guest's kestrode-*.log and journal.txt; SENTn is the
# transcript of the instrument of boot n, which sent a reading every PERIOD
# seconds; CUT is the boot whose power went. Fails (status 1, the reason on
# the one line printed) when the log holds a NUL byte, a line that is
# neither as sent nor the beginning of one (two glued lines), more than one
# fragment where two boots meet, more than one file, or when the last
# reading of boot CUT that it kept is more than SYNC + 1 s older than the
# last one its instrument sent. The journal's figures are printed only.
use strict;
use warnings;

my ($cut, $period, $sync, $dir, @sent) = @ARGV;
my $STAMP = qr/\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d /;

sub slurp {
    my ($path) = @_;
    open(my $f, '<:raw', $path) or die "cannot read $path: $!\n";
    local $/;
    my $s = <$f>;
    return defined $s ? $s : '';
}

my @readings = map { [slurp($_) =~ /^(PM2\.5=[^\r\n]*)\r?\n/mg] } @sent;

sub bad { print "@_\n"; exit 1; }

# Maps readings in order onto the instruments: each boot's readings are the
# first n of what its instrument sent (a boot may be missing whole). Returns
# the n of each boot, or undef and the reading that fits nowhere.
sub mapOnto {
    my @got = @_;
    my @n = (0) x @readings;
    my $j = 0;
    for my $r (@got) {
        if ($n[$j] < @{$readings[$j]} && $r eq $readings[$j][$n[$j]]) {
            $n[$j]++;
            next;
        }
        my ($m) = grep { $r eq ($readings[$_][0] // '') } ($j + 1 .. $#readings);
        return (undef, $r) unless defined $m;
        $j = $m;
        $n[$j] = 1;
    }
    return \@n;
}

my @logs = glob("$dir/kestrode-*.log");
bad("log files: " . join(' ', map { s{.*/}{}r } @logs) . " (one, appended to, expected)") unless @logs == 1;
my $log = slurp($logs[0]);
my $nuls = ($log =~ tr/\0//);
bad("$nuls NUL bytes in the log") if $nuls;

my (@got, %fragments, $boot);
$boot = 0;
my $nr = 0;
for my $line (split /\n/, $log) {
    $nr++;
    if ($line =~ /^$STAMP(.*)\r\r$/ && $1 !~ $STAMP) {
        my $text = $1;
        next unless $text =~ /^PM2\.5=/;
        push @got, $text;
        my ($n) = mapOnto(@got);
        bad("line $nr is not as sent: " . $text) unless $n;
        ($boot) = grep { $n->[$_] } reverse(0 .. $#$n);
        next;
    }
    # A fragment: the beginning of a stamped line, ended by the mending.
    my $body = $line =~ s/\r$//r;
    my $ok = $body !~ /.$STAMP/;
    if ($ok && $body =~ /^$STAMP(.*)$/) {
        my $part = $1;
        $ok = grep { my $all = $_; grep { index($_, $part) == 0 } @$all } @readings;
    } elsif ($ok) {
        $ok = length($body) < 30 && $body =~ /^[\d:T.+-]*$/;  # torn inside the stamp
    }
    bad("line $nr is glued or damaged: " . ($line =~ s/[^\x20-\x7e]/./gr)) unless $ok;
    $fragments{$boot}++;
}
my ($n) = mapOnto(@got);
my $lost = @{$readings[$cut]} - $n->[$cut];
my $frag = $fragments{$cut} // 0;
bad("$frag fragments where boots $cut and " . ($cut + 1) . " meet") if $frag > 1;
my $journal = 'journal: no readings';
if (-f "$dir/journal.txt") {
    my @j = slurp("$dir/journal.txt") =~ /^(PM2\.5=[^\r\n]*)\r?$/mg;
    my ($jn, $miss) = mapOnto(@j);
    $journal = $jn
        ? sprintf("journal lost %d readings (%.1f s)", @{$readings[$cut]} - $jn->[$cut],
                  (@{$readings[$cut]} - $jn->[$cut]) * $period)
        : "journal: a reading fits no instrument ($miss)";
}
my $msg = sprintf("log lost %d of %d readings (%.1f s, at most %.1f allowed), %d fragment, no NUL, "
                  . "no glued line, one file; %s", $lost, scalar @{$readings[$cut]},
                  $lost * $period, $sync + 1, $frag, $journal);
bad($msg) if $lost * $period > $sync + 1 + 1e-9;
print "$msg\n";
