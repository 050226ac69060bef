#!/usr/bin/perl
# make check-man: every message kestrode prints is explained both in the
# README's notice table and in the DIAGNOSTICS section of kestrode(1), and
# neither lists one it no longer prints.
#   cmake/check-notices.pl [ROOT]
#
# The messages are string literals in src/ (comments skipped, adjacent
# literals joined, C escapes decoded) whose text, after leading line ends and
# blanks, begins with ">" (kestrode's own notices) or with "# " and a letter
# (its notices about the instrument; %NOT_MESSAGES are the instrument's own
# texts), plus the few in @FIXED below that carry neither mark. A message's
# pattern is its text with leading and trailing blanks and line ends dropped
# and runs of blanks made one; each printf conversion (%s, %d, %lu, %.*s, ...)
# stands for any text, so the documents may write NAME, N, ... or the actual
# value, and a bracketed detail holding one may be written "(...)".
#
# README.md: a code span in the first column of the table under
# "## Console notices" must begin with the pattern. kestrode.1: a line of its
# DIAGNOSTICS section, rendered as plain text without line wrapping, must
# begin with it. Every such code span, and every rendered DIAGNOSTICS line
# that begins with ">" or "# ", must in turn begin with some message.
use strict;
use warnings;

my $root = shift // '.';
my $readme = "$root/README.md";
my $page = "$root/docs/kestrode.1";

# Messages without the marks: the C library's report prefix, the start-up
# lines, and texts kept as the instrument's users know them.
my @FIXED = (
    " \@\@\@ starting kestrode \@\@\@ \n",
    "Serial device name: %s\n",
    "\nWhich one is the device [1~%d]? : ",
    "Local logging file : %s\\%s\r\n",
    "creating log file %s failed\r\n",
    "open_port: Unable to open\n",
    "serial terminal write error\n",
    "downloading is early finished",
);

# Texts of the instrument that src/ looks for, not messages of its own.
my %NOT_MESSAGES = map { $_ => 1 } ("# OLM-inside Air Monitor");

my $CONVERSION = qr/%[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:hh|h|ll|l|z|j|t|L)?[diouxXcsp]/;

sub decode {
    my ($s) = @_;
    my %esc = (n => "\n", r => "\r", t => "\t", '\\' => '\\', '"' => '"', "'" => "'");
    $s =~ s/\\(.)/exists $esc{$1} ? $esc{$1} : "\\$1"/ge;
    return $s;
}

sub squeeze {
    my ($s) = @_;
    $s =~ s/\s+/ /g;
    $s =~ s/^ | $//g;
    return $s;
}

sub literally {
    my ($text) = @_;
    return join '', map { /^%%$/ ? '%' : /^$CONVERSION$/ ? '.+?' : quotemeta }
        split /($CONVERSION|%%)/, $text;
}

# The message as a regular expression anchored at the start of a text and
# not ending inside a word; a bracketed detail that holds a conversion may
# also be written "(...)".
sub pattern {
    my ($msg) = @_;
    my $re = join '', map {
        /^\(.*$CONVERSION.*\)$/ ? '(?:\(\.\.\.\)|' . literally($_) . ')' : literally($_)
    } split /(\([^()]*\))/, squeeze($msg);
    return qr/^$re(?![A-Za-z0-9])/;
}

sub shown {
    my ($msg) = @_;
    (my $s = $msg) =~ s/\n/\\n/g;
    $s =~ s/\r/\\r/g;
    return "\"$s\"";
}

sub slurp {
    my ($f) = @_;
    open my $fh, '<', $f or die "check-notices: $f: $!\n";
    local $/;
    return <$fh>;
}

# [file:line, text] of every message in src/, at its first place.
sub messages {
    my @files = sort split /\n/, `find "$root/src" -type f \\( -name '*.cpp' -o -name '*.h' \\)`;
    my (@found, %literal);
    for my $f (@files) {
        my $code = slurp($f);
        # Comments become blanks (line ends kept), strings and characters stay.
        $code =~ s{("(?:\\.|[^"\\\n])*")|('(?:\\.|[^'\\\n])*')|(//[^\n]*)|(/\*.*?\*/)}
                  {defined $1 ? $1 : defined $2 ? $2 : defined $3 ? '' : ($4 =~ tr/\n//cdr)}gse;
        while ($code =~ /("(?:\\.|[^"\\\n])*"(?:\s*"(?:\\.|[^"\\\n])*")*)/g) {
            my ($lits, $at) = ($1, $-[1]);
            my $text = join '', map { decode($_) } $lits =~ /"((?:\\.|[^"\\\n])*)"/g;
            my $line = 1 + (substr($code, 0, $at) =~ tr/\n//);
            (my $where = $f) =~ s{^\Q$root\E/}{};
            next if $literal{$text};
            $literal{$text} = "$where:$line";
            push @found, ["$where:$line", $text]
                if $text =~ /^\s*(?:>|# [A-Za-z])/ && !$NOT_MESSAGES{$text};
        }
    }
    my @missing;
    for my $m (@FIXED) {
        if ($literal{$m}) { push @found, [$literal{$m}, $m] }
        else { push @missing, "check-notices.pl lists " . shown($m) . ", which src/ no longer has" }
    }
    return (\@found, \@missing);
}

# Code spans of the first column of the notice table.
sub readmeSpans {
    my @spans;
    my $in = 0;
    for (split /\n/, slurp($readme)) {
        if (/^## /) { $in = /^## Console notices\s*$/; next }
        next unless $in && /^\|/;
        my ($first) = (split /(?<!\\)\|/)[1];
        next if !defined $first || $first =~ /^\s*-*\s*$/;
        push @spans, map { squeeze($_) } $first =~ /`([^`]+)`/g;
    }
    return @spans;
}

# The DIAGNOSTICS section as plain text lines, one line per paragraph or tag.
sub pageLines {
    my $text = `LC_ALL=C groff -man -Tascii -P-cbou -rLL=2000n -rHY=0 "$page" 2>/dev/null`;
    die "check-notices: groff could not render $page\n" if $? != 0;
    my ($section) = $text =~ /^DIAGNOSTICS\n(.*?)(?=^[A-Z]|\z)/ms;
    die "check-notices: $page has no DIAGNOSTICS section\n" unless defined $section;
    return grep { $_ ne '' } map { squeeze($_) } split /\n/, $section;
}

my ($messages, $problems) = messages();
my @spans = readmeSpans();
push @$problems, "README.md has no notice table under \"## Console notices\"" unless @spans;
my @lines = pageLines();
my @patterns = map { pattern($_->[1]) } @$messages;
for my $i (0 .. $#$messages) {
    my ($where, $msg) = @{$messages->[$i]};
    my $re = $patterns[$i];
    push @$problems, "$where: " . shown($msg) . " is missing from README.md (Console notices)"
        unless grep { $_ =~ $re } @spans;
    push @$problems, "$where: " . shown($msg) . " is missing from docs/kestrode.1 (DIAGNOSTICS)"
        unless grep { $_ =~ $re } @lines;
}
for my $s (@spans) {
    push @$problems, "README.md (Console notices) lists \"$s\", which src/ does not print"
        unless grep { $s =~ $_ } @patterns;
}
for my $l (grep { /^(?:>|# )/ } @lines) {
    push @$problems, "docs/kestrode.1 (DIAGNOSTICS) lists \"$l\", which src/ does not print"
        unless grep { $l =~ $_ } @patterns;
}
print "$_\n" for @$problems;
if (@$problems) {
    print "check-notices: ", scalar @$problems, " problem(s) above\n";
    exit 1;
}
print "check-notices: ", scalar @$messages, " messages, each in README.md and docs/kestrode.1\n";
