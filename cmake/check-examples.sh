#!/bin/sh
# make check-man: every file of docs/examples/ is shown in README.md as it
# is, in a code block of its own, so the README's example and the guest test
# that installs the file never drift apart.
#   cmake/check-examples.sh [ROOT]
root=${1:-.}
exec perl -e '
    my ($readme, @files) = @ARGV;
    local $/;
    open my $r, "<", $readme or die "$readme: $!\n";
    my $text = <$r>;
    my $bad = 0;
    for my $f (@files) {
        open my $h, "<", $f or die "$f: $!\n";
        my $body = <$h>;
        next if index($text, "```\n$body```\n") >= 0;
        print STDERR "check-examples: $f is not shown whole in $readme\n";
        $bad = 1;
    }
    print "check-examples: each of ", scalar(@files), " examples shown whole in $readme\n" unless $bad;
    exit $bad;
' "$root/README.md" "$root"/docs/examples/*
