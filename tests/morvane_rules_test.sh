#!/usr/bin/env bash
# morvane-rules on a small application directory: a source compiles into db/rules.db (replaced
# whole), list shows it, test scores messages of a directory and an mbox; a malformed entry, a
# pattern that does not compile or an unknown structural test names its line and writes
# nothing; rules of type test score the structural tests; fit scores the table from labelled
# mail; the shipped starter set compiles.
set -euo pipefail
RULES=${1:?usage: morvane_rules_test.sh path/to/morvane-rules}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
APP="$DIR/app"
mkdir -p "$APP" "$DIR/mail/sub"

cat > "$DIR/good.rules" <<'SRC'
# two rules
rule MONEY
type     subject
options  caseless
score    2.5
pattern  cash|money
comment  money talk

rule NOT_LIST
type raw
options multiline
score -1
pattern ^List-Id:
SRC
out=$("$RULES" --appdir "$APP" compile "$DIR/good.rules") || fail "compile: $out"
[ "$out" = "compiled 2 rules into $APP/db/rules.db" ] || fail "compile said: $out"
[ "$("$RULES" --appdir "$APP" list)" = "$(printf 'MONEY\tsubject\tcaseless\t2.500\tcash|money\nNOT_LIST\traw\tmultiline\t-1.000\t^List-Id:')" ] \
    || fail "list: $("$RULES" --appdir "$APP" list)"

# Compiling again replaces the whole table.
printf 'rule ONLY\ntype body\nscore 1\npattern x\n' > "$DIR/one.rules"
"$RULES" --appdir "$APP" compile "$DIR/one.rules" > /dev/null
[ "$("$RULES" --appdir "$APP" list | cut -f1)" = "ONLY" ] || fail "the table was not replaced"
# Bytes a terminal would act on, or show as something else, are listed as \xHH.
printf 'rule ESC\ntype body\nscore 1\npattern caf\xc3\xa9\x1b\n' > "$DIR/esc.rules"
"$RULES" --appdir "$APP" compile "$DIR/esc.rules" > /dev/null || fail "compile esc"
[ "$("$RULES" --appdir "$APP" list | cut -f5)" = 'caf\xc3\xa9\x1b' ] || fail "list escapes: $("$RULES" --appdir "$APP" list)"
"$RULES" --appdir "$APP" compile "$DIR/one.rules" > /dev/null || fail "compile one again"

# A malformed entry and a pattern that does not compile: the line is named, nothing is written.
before=$(md5sum < "$APP/db/rules.db")
printf 'rule A\ntype body\nscore 1\npattern ok\n\nrule B\ntype bodies\n' > "$DIR/bad.rules"
if "$RULES" --appdir "$APP" compile "$DIR/bad.rules" 2>"$DIR/err"; then fail "a malformed source compiled"; fi
grep -q "bad.rules:7: type is subject, body, raw, test, header FIELD, text, uri or meta" "$DIR/err" || fail "malformed: $(cat "$DIR/err")"
printf 'rule A\ntype body\nscore 1\npattern ok\n\nrule NO_SUCH\ntype test\nscore 1\n' > "$DIR/bad3.rules"
if "$RULES" --appdir "$APP" compile "$DIR/bad3.rules" 2>"$DIR/err"; then fail "an unknown test compiled"; fi
grep -q "bad3.rules:6: rule NO_SUCH: there is no test NO_SUCH" "$DIR/err" || fail "unknown test: $(cat "$DIR/err")"
printf 'rule A\ntype body\nscore 1\npattern (open\n' > "$DIR/bad2.rules"
if "$RULES" --appdir "$APP" compile "$DIR/bad2.rules" 2>"$DIR/err"; then fail "a bad pattern compiled"; fi
grep -q "bad2.rules:1: rule A: the pattern does not compile" "$DIR/err" || fail "bad pattern: $(cat "$DIR/err")"
[ "$(md5sum < "$APP/db/rules.db")" = "$before" ] || fail "a failed compile changed the table"
if "$RULES" --appdir "$APP" compile "$DIR/missing.rules" 2>/dev/null; then fail "a missing source compiled"; fi

# test: every message of a directory (recursively) and of an mbox, as a session sees it.
printf 'Subject: Easy MONEY now\n\nhello\n' > "$DIR/mail/a.eml"
printf 'Subject: cash\nList-Id: <l.example.org>\n\nhello\n' > "$DIR/mail/sub/b.eml"
printf 'From x@y Mon Jan  1 00:00:00 2024\nSubject: weekly notes\n\nhi\n\nFrom z@y Mon Jan  1 00:00:01 2024\nSubject: cash prize\n\nhi\n' > "$DIR/box.mbox"
got=$("$RULES" test "$DIR/good.rules" "$DIR/mail" "$DIR/box.mbox")
want=$(printf '2.50\t%s\tMONEY\n1.50\t%s\tMONEY NOT_LIST\n0.00\t%s\t\n2.50\t%s\tMONEY' \
    "$DIR/mail/a.eml" "$DIR/mail/sub/b.eml" "$DIR/box.mbox:1" "$DIR/box.mbox:2")
[ "$got" = "$want" ] || fail "test printed:
$got"

# Structural tests as rules: named by the rule or by its pattern; listed by "tests".
"$RULES" tests | grep -q "^MIME_HTML_ONLY	HTML text and no plain-text part$" || fail "tests list"
printf 'rule MIME_HTML_ONLY\ntype test\nscore 1.5\n\nrule NO_DATE\ntype test\nscore 0.5\npattern HDR_DATE_MISSING\n' > "$DIR/tests.rules"
printf 'Subject: offer\nContent-Type: text/html\n\n<p>buy</p>\n' > "$DIR/html.eml"
[ "$("$RULES" test "$DIR/tests.rules" "$DIR/html.eml")" = "$(printf '2.00\t%s\tMIME_HTML_ONLY NO_DATE' "$DIR/html.eml")" ] \
    || fail "test rules: $("$RULES" test "$DIR/tests.rules" "$DIR/html.eml")"
"$RULES" --appdir "$APP" compile "$DIR/tests.rules" > /dev/null || fail "compile test rules"
"$RULES" --appdir "$APP" list | grep -q "^NO_DATE	test	none	0.500	HDR_DATE_MISSING$" || fail "list test rules"

# fit: scores from labelled mail. MONEY marks the spam, NOT_LIST the ham; held-out figures are
# printed, --dry-run writes nothing, and the fitted signs follow the mail.
"$RULES" --appdir "$APP" compile "$DIR/good.rules" > /dev/null
mkdir -p "$DIR/fit/spam" "$DIR/fit/ham"
for i in $(seq 1 12); do printf 'Subject: easy money %s\n\nbuy now\n' "$i" > "$DIR/fit/spam/$i.eml"; done
for i in $(seq 1 30); do printf 'Subject: notes %s\nList-Id: <team.example.org>\n\nminutes attached\n' "$i" > "$DIR/fit/ham/$i.eml"; done
before=$(md5sum < "$APP/db/rules.db")
out=$("$RULES" --appdir "$APP" fit --spam "$DIR/fit/spam" --ham "$DIR/fit/ham" --dry-run) || fail "fit --dry-run: $out"
echo "$out" | grep -q "on the 8 held-out messages" || fail "held-out figures: $out"
[ "$(md5sum < "$APP/db/rules.db")" = "$before" ] || fail "--dry-run changed the table"
"$RULES" --appdir "$APP" fit --spam "$DIR/fit/spam" --ham "$DIR/fit/ham" | grep -q "^wrote 2 fitted scores" || fail "fit"
"$RULES" --appdir "$APP" list | awk -F'\t' '($1=="MONEY" && $4 <= 0) || ($1=="NOT_LIST" && $4 >= 0) { exit 1 }' \
    || fail "fitted signs: $("$RULES" --appdir "$APP" list)"
if "$RULES" --appdir "$APP" fit --spam "$DIR/fit/spam" 2>/dev/null; then fail "fit without ham"; fi
if "$RULES" --appdir "$APP" fit --spam "$DIR/fit/spam" --ham "$DIR/fit/ham" --fp-weight 0 2>/dev/null; then fail "a zero fp weight"; fi
if "$RULES" --appdir "$DIR/none" fit --spam "$DIR/fit/spam" --ham "$DIR/fit/ham" 2>"$DIR/err"; then fail "fit without a table"; fi
grep -q "compile a source first" "$DIR/err" || fail "fit without a table: $(cat "$DIR/err")"

# fit --source: enough mail for the Bayes filter to judge (its points are fitted from folds it
# did not learn and written into morvane.ini), the source's score lines rewritten and nothing
# else of it, a report of every rule's hits.
mkdir -p "$DIR/fit2/spam" "$DIR/fit2/ham"
for i in $(seq 1 90); do
    printf 'Subject: easy money %s\n\ncheap pills casino winner %s\n' "$i" "$((i * 7919 % 1000))" > "$DIR/fit2/spam/$i.eml"
    printf 'Subject: notes %s\nList-Id: <team.example.org>\n\nminutes of the meeting %s\n' "$i" "$i" > "$DIR/fit2/ham/$i.eml"
    printf 'Subject: build %s\n\nthe nightly build passed %s\n' "$i" "$i" > "$DIR/fit2/ham/b$i.eml"
done
cp "$DIR/good.rules" "$DIR/fit2/src.rules"
printf '[CONFIG]\nscore_for_spam=5.0\n[BAYES]\np_bayes_spam=6.1\n' > "$APP/morvane.ini"
out=$("$RULES" --appdir "$APP" fit --spam "$DIR/fit2/spam" --ham "$DIR/fit2/ham" --source "$DIR/fit2/src.rules" \
      --report "$DIR/fit2/report.md") || fail "fit --source: $out"
echo "$out" | grep -q "^rules and filter at 5.00" || fail "the filter in the fit: $out"
grep -Eq '^p_bayes_spam=[0-9.]+\s*$' "$APP/morvane.ini" && grep -Eq '^p_bayes_ham=-[0-9.]+\s*$' "$APP/morvane.ini" \
    || fail "the filter's points: $(cat "$APP/morvane.ini")"
# Never weaker than set: a SPAM verdict reaches score_for_spam alone, the ham side stays at -3.99.
tr -d '\r' < "$APP/morvane.ini" | awk -F= '($1=="p_bayes_spam" && $2 < 5.0) || ($1=="p_bayes_ham" && $2 > -3.99) { exit 1 }' \
    || fail "the filter's points went below their floors: $(cat "$APP/morvane.ini")"
diff <(grep -v '^score' "$DIR/good.rules") <(grep -v '^score' "$DIR/fit2/src.rules") > /dev/null || fail "the source changed beyond its scores"
grep -Eq '^score    [1-9][0-9.]*$' "$DIR/fit2/src.rules" || fail "MONEY's fitted score: $(cat "$DIR/fit2/src.rules")"
grep -q '^| MONEY | subject | .* | 90 (100.0%) | 0 (0.00%) | money talk |$' "$DIR/fit2/report.md" \
    || fail "report: $(cat "$DIR/fit2/report.md")"
"$RULES" --appdir "$APP" list | grep -q "^MONEY	subject	caseless	$(awk '/^score/ {print $2; exit}' "$DIR/fit2/src.rules")0	" \
    || fail "the table holds the source's scores: $("$RULES" --appdir "$APP" list)"
# A source written with CR LF line ends and indented keys keeps both.
sed 's/^score/  score/; s/$/\r/' "$DIR/good.rules" > "$DIR/fit2/crlf.rules"
"$RULES" --appdir "$APP" fit --spam "$DIR/fit2/spam" --ham "$DIR/fit2/ham" --source "$DIR/fit2/crlf.rules" --dry-run \
    > /dev/null || fail "fit --dry-run on a CR LF source"
"$RULES" --appdir "$APP" fit --spam "$DIR/fit2/spam" --ham "$DIR/fit2/ham" --source "$DIR/fit2/crlf.rules" > /dev/null \
    || fail "fit on a CR LF source"
[ "$(grep -c $'\r$' "$DIR/fit2/crlf.rules")" = "$(wc -l < "$DIR/fit2/crlf.rules")" ] || fail "CR LF line ends lost"
grep -Eq $'^  score    [1-9][0-9.]*\r$' "$DIR/fit2/crlf.rules" || fail "indented score: $(cat -A "$DIR/fit2/crlf.rules")"
rm "$APP/morvane.ini"

# The shipped starter set compiles, and its header documents the format.
"$RULES" --appdir "$APP" compile "$ROOT/dist/rules/starter.rules" | grep -Eq '^compiled [0-9]+ rules' || fail "starter set"
grep -q '^# Format' "$ROOT/dist/rules/starter.rules" || fail "the starter set documents its format"

# Usage errors.
if "$RULES" frobnicate 2>/dev/null; then fail "unknown command"; fi
if "$RULES" --appdir "$APP" test "$DIR/good.rules" "$DIR/mail" 2>/dev/null; then fail "test takes no appdir"; fi
[ -z "$("$RULES" --appdir "$DIR/none" list)" ] || fail "list without a table"
echo "morvane-rules: all checks passed"
