#!/usr/bin/env bash
# morvane-learn on a small application directory: messages from a directory (LF or CRLF, with
# or without an envelope line) and from an mbox are learned once each, classified by what they
# were learned as, a bad path is reported and skipped, --errors learns only what is wrong, and
# the word table is saved atomically (a table that cannot be replaced is left as it was).
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
[ ! -e "$APP/db/bayeswords.db" ] || fail "learned despite a missing path"
if "$LEARN" --appdir "$DIR/nonexistent" stats 2>"$DIR/err"; then fail "stats of a directory that is not there"; fi
grep -q "not an application directory" "$DIR/err" || fail "nonexistent appdir: $(cat "$DIR/err")"
"$LEARN" --help | grep -q "^usage: morvane-learn" || fail "--help"
# Options may follow the command.
out=$("$LEARN" spam --appdir "$APP" "$DIR/spam")
[ "$out" = "$(echo "$out" | grep -E '^learned 3 messages as spam, skipped 0, words added [0-9]+$')" ] || fail "spam summary: $out"
"$LEARN" --appdir "$APP" ham "$DIR/ham/box.mbox" | grep -q '^learned 2 messages as ham, skipped 0' || fail "mbox of two"
[ -f "$APP/db/bayeswords.db" ] || fail "word table written"

check=$("$LEARN" --appdir "$APP" check "$DIR/spam/a.eml" "$DIR/ham/box.mbox")
[ "$(echo "$check" | cut -f1,2,3)" = "$(printf '1\tSPAM\t%s\n2\tHAM\t%s\n2\tHAM\t%s' "$DIR/spam/a.eml" "$DIR/ham/box.mbox:1" "$DIR/ham/box.mbox:2")" ] \
    || fail "check: $check"
"$LEARN" --appdir "$APP" --detail check "$DIR/spam/a.eml" | awk -F'\t' 'NF != 7 || $4 < 10 { exit 1 }' || fail "--detail columns"
printf 'Subject: zebra quantum harpsichord\n\nxylophone marimba glockenspiel \n' > "$DIR/new.eml"
"$LEARN" --appdir "$APP" check "$DIR/new.eml" | cut -f2 | grep -qx LEARN || fail "unknown words ask for learning"

stats=$("$LEARN" --appdir "$APP" stats)
words=$(echo "$stats" | awk '$1=="words"{print $2}')
[ "$words" -gt 20 ] || fail "stats: $stats"
[ "$(echo "$stats" | awk '$1=="spam"{print $2}')" -gt 0 ] && [ "$(echo "$stats" | awk '$1=="ham"{print $2}')" -gt 0 ] || fail "weight sums: $stats"

# Learning the same spam again with --errors changes nothing: it is already SPAM.
before=$(md5sum < "$APP/db/bayeswords.db")
"$LEARN" --appdir "$APP" --errors spam "$DIR/spam" | grep -q '^learned 0 messages as spam, skipped 0, words added 0, already classified so 3$' \
    || fail "--errors relearned known spam"

# A table that cannot be replaced: the run fails, the old table stays.
chmod a-w "$APP/db"
if "$LEARN" --appdir "$APP" ham "$DIR/spam/a.eml" >/dev/null 2>"$DIR/err"; then
    [ "$(id -u)" = 0 ] || fail "a failed save reported success"
else
    grep -q "cannot save" "$DIR/err" || fail "save failure message: $(cat "$DIR/err")"
    [ "$(md5sum < "$APP/db/bayeswords.db")" = "$before" ] || fail "the previous table was changed"
fi
chmod u+w "$APP/db"

# Usage errors.
if "$LEARN" --appdir "$APP" spam 2>/dev/null; then fail "spam without a path"; fi
if "$LEARN" --appdir "$APP" frobnicate x 2>/dev/null; then fail "unknown command"; fi
mkdir -p "$DIR/empty"
[ "$("$LEARN" --appdir "$DIR/empty" stats | head -1)" = "$(printf 'words\t0')" ] || fail "stats without a table"
[ ! -e "$DIR/empty/db" ] || fail "stats created a directory"
echo "morvane-learn: all checks passed"
