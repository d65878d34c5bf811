#!/usr/bin/env bash
# morvane-learn on a small application directory: messages from a directory (LF or CRLF, with
# or without an envelope line) and from an mbox are learned once each, classified by what they
# were learned as, learning again changes nothing, unlearning and relearning move the counts, a
# bad path is reported and skipped, the classic filter still works with --classic, and tables
# are saved atomically (a table that cannot be replaced, or cannot be read, is left as it was).
set -euo pipefail
LEARN=${1:?usage: morvane_learn_test.sh path/to/morvane-learn}
DIR=$(mktemp -d)
trap 'chmod -R u+w "$DIR"; rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
APP="$DIR/app"
mkdir -p "$APP" "$DIR/spam/sub" "$DIR/ham"

msg() {  # msg SUBJECT WORDS...: a plain text message
    local subject=$1; shift
    printf 'From: "Sender" <sender@example.org>\nTo: <rcpt@example.net>\nSubject: %s\nContent-Type: text/plain; charset=us-ascii\n\n%s \n' "$subject" "$*"
}
msg "cheap watches online" "replica watches discount pharmacy viagra lottery winner" > "$DIR/spam/a.eml"
msg "casino bonus today" "casino jackpot bonus pharmacy discount winner" | sed 's/$/\r/' > "$DIR/spam/sub/b.eml"
{ echo "From spammer@example.com Thu Aug 22 13:17:22 2002"; msg "lottery winner notice" "claim lottery prize winner discount"; } > "$DIR/spam/c.eml"
{
    echo "From alice@example.org Mon Jan  1 00:00:00 2024"
    msg "meeting agenda monday" "project meeting agenda notes review schedule"
    echo
    echo "From bob@example.org Mon Jan  1 00:00:01 2024"
    msg "quarterly report draft" "attached report draft review comments schedule"
    echo ">From the archive, quoted"
} > "$DIR/ham/box.mbox"

# A path that is not there is a mistake: reported, status 1, nothing learned.
if "$LEARN" --appdir "$APP" spam "$DIR/spam" "$DIR/missing.eml" 2>"$DIR/err"; then fail "a missing path accepted"; fi
grep -q "missing.eml: no such file or directory; nothing learned" "$DIR/err" || fail "missing path: $(cat "$DIR/err")"
[ ! -e "$APP/db/bayestokens.db" ] || fail "learned despite a missing path"
if "$LEARN" --appdir "$DIR/nonexistent" stats 2>"$DIR/err"; then fail "stats of a directory that is not there"; fi
grep -q "not an application directory" "$DIR/err" || fail "nonexistent appdir: $(cat "$DIR/err")"
"$LEARN" --help | grep -q "^usage: morvane-learn" || fail "--help"

# The statistical filter: every message once; again changes nothing; the other class moves it.
out=$("$LEARN" spam --appdir "$APP" "$DIR/spam")  # options may follow the command
echo "$out" | grep -qx 'learned 3 messages as spam, already learned so 0, moved from ham 0, skipped 0' || fail "spam: $out"
"$LEARN" --appdir "$APP" ham "$DIR/ham/box.mbox" | grep -q '^learned 2 messages as ham, already learned so 0' || fail "mbox of two"
[ -f "$APP/db/bayestokens.db" ] || fail "token table written"
out=$("$LEARN" --appdir "$APP" spam "$DIR/spam")
echo "$out" | grep -qx 'learned 0 messages as spam, already learned so 3, moved from ham 0, skipped 0' || fail "relearned: $out"
echo "$out" | grep -q '^the filter has learned 3 spam and 2 ham' || fail "totals: $out"

# Verdicts wait for enough learning; the operator's [BAYES] settings decide when (and a weak
# prior lets five messages be evidence).
"$LEARN" --appdir "$APP" check "$DIR/spam/a.eml" | cut -f2 | grep -qx UNTRAINED || fail "verdict before enough learning"
printf '[BAYES]\r\nbayes_min_learned=2\r\nbayes_strength=0.5\r\n' > "$APP/morvane.ini"
check=$("$LEARN" --appdir "$APP" check "$DIR/spam/a.eml" "$DIR/ham/box.mbox")
[ "$(echo "$check" | cut -f1,2,4)" = "$(printf '1\tSPAM\t%s\n2\tHAM\t%s\n2\tHAM\t%s' "$DIR/spam/a.eml" "$DIR/ham/box.mbox:1" "$DIR/ham/box.mbox:2")" ] \
    || fail "check: $check"
echo "$check" | awk -F'\t' '($2=="SPAM" && $3 < 0.9) || ($2=="HAM" && $3 > 0.2) { exit 1 }' || fail "probabilities: $check"
"$LEARN" --appdir "$APP" --detail check "$DIR/spam/a.eml" | grep -qP '^\t0\.\d+\tsubject:' || fail "--detail tokens"

"$LEARN" --appdir "$APP" unlearn "$DIR/spam/a.eml" | grep -q '^unlearned 1 messages, not learned before 0, skipped 0' || fail "unlearn"
"$LEARN" --appdir "$APP" unlearn "$DIR/spam/a.eml" | grep -q '^unlearned 0 messages, not learned before 1' || fail "unlearn twice"
"$LEARN" --appdir "$APP" ham "$DIR/spam/sub/b.eml" | grep -q 'moved from spam 1' || fail "relearning as ham moves"
stats=$("$LEARN" --appdir "$APP" stats)
[ "$(echo "$stats" | awk '$1=="spam_messages"{print $2}')" = 1 ] || fail "after unlearn and move: $stats"
[ "$(echo "$stats" | awk '$1=="ham_messages"{print $2}')" = 3 ] || fail "after unlearn and move: $stats"
[ "$(echo "$stats" | awk '$1=="tokens"{print $2}')" -gt 20 ] || fail "tokens: $stats"
[ "$(echo "$stats" | awk '$1=="classic_words"{print $2}')" = 0 ] || fail "classic untouched: $stats"
if "$LEARN" --appdir "$APP" --errors spam "$DIR/spam" 2>"$DIR/err"; then fail "--errors without --classic"; fi
grep -q "learns every message once" "$DIR/err" || fail "--errors message: $(cat "$DIR/err")"

# The classic filter, on request.
"$LEARN" --appdir "$APP" --classic spam "$DIR/spam" | grep -qE '^learned 3 messages as spam, skipped 0, words added [0-9]+$' \
    || fail "classic spam"
"$LEARN" --appdir "$APP" --classic ham "$DIR/ham/box.mbox" | grep -q '^learned 2 messages as ham, skipped 0' || fail "classic mbox"
check=$("$LEARN" --appdir "$APP" --classic check "$DIR/spam/a.eml" "$DIR/ham/box.mbox")
[ "$(echo "$check" | cut -f1,2,3)" = "$(printf '1\tSPAM\t%s\n2\tHAM\t%s\n2\tHAM\t%s' "$DIR/spam/a.eml" "$DIR/ham/box.mbox:1" "$DIR/ham/box.mbox:2")" ] \
    || fail "classic check: $check"
"$LEARN" --appdir "$APP" --classic --detail check "$DIR/spam/a.eml" | awk -F'\t' 'NF != 7 || $4 < 10 { exit 1 }' || fail "--detail columns"
printf 'Subject: zebra quantum harpsichord\n\nxylophone marimba glockenspiel \n' > "$DIR/new.eml"
"$LEARN" --appdir "$APP" --classic check "$DIR/new.eml" | cut -f2 | grep -qx LEARN || fail "unknown words ask for learning"
"$LEARN" --appdir "$APP" --classic --errors spam "$DIR/spam" | grep -q 'already classified so 3$' || fail "--errors relearned known spam"

# A table that cannot be replaced: the run fails, the old table stays.
before=$(md5sum < "$APP/db/bayestokens.db")
chmod a-w "$APP/db"
if "$LEARN" --appdir "$APP" spam "$DIR/new.eml" >/dev/null 2>"$DIR/err"; then
    [ "$(id -u)" = 0 ] || fail "a failed save reported success"
else
    grep -q "cannot save" "$DIR/err" || fail "save failure message: $(cat "$DIR/err")"
    [ "$(md5sum < "$APP/db/bayestokens.db")" = "$before" ] || fail "the previous table was changed"
fi
chmod u+w "$APP/db"
# A file that is no table is never overwritten.
echo "not a table" > "$DIR/bad.db"
mkdir -p "$DIR/bad/db" && cp "$DIR/bad.db" "$DIR/bad/db/bayestokens.db"
if "$LEARN" --appdir "$DIR/bad" spam "$DIR/spam" 2>"$DIR/err"; then fail "learned into a broken table"; fi
grep -q "not a DBK table" "$DIR/err" || fail "broken table message: $(cat "$DIR/err")"
cmp -s "$DIR/bad.db" "$DIR/bad/db/bayestokens.db" || fail "a broken table was overwritten"

# Usage errors.
if "$LEARN" --appdir "$APP" spam 2>/dev/null; then fail "spam without a path"; fi
if "$LEARN" --appdir "$APP" frobnicate x 2>/dev/null; then fail "unknown command"; fi
mkdir -p "$DIR/empty"
[ "$("$LEARN" --appdir "$DIR/empty" stats | head -1)" = "$(printf 'spam_messages\t0')" ] || fail "stats without a table"
[ ! -e "$DIR/empty/db" ] || fail "stats created a directory"
echo "morvane-learn: all checks passed"
