#!/usr/bin/env bash
# morvane-script end to end: a script using the built-ins prints the expected transcript and its
# result as the last line; errors give exit 1 with the diagnostics on stderr.
set -euo pipefail
TOOL=${1:?usage: morvane_script_test.sh path/to/morvane-script}
HERE=$(cd "$(dirname "$0")" && pwd)
DIR=$(mktemp -d)
trap 'rm -rf "$DIR"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

"$TOOL" run "$HERE/scripts/builtins.cs" > "$DIR/out" || fail "run exited with $?"
diff -u "$HERE/scripts/builtins.ref" "$DIR/out" || fail "transcript differs"

"$TOOL" check "$HERE/scripts/builtins.cs" | grep -q ': ok$' || fail "check of a good script"
"$TOOL" disasm "$HERE/scripts/builtins.cs" | grep -q 'CALL_METHOD' || fail "disasm lists no CALL_METHOD"

printf 'int main() { return 1 +; }\n' > "$DIR/bad.cs"
if "$TOOL" check "$DIR/bad.cs" 2> "$DIR/err"; then fail "check of a bad script succeeded"; fi
grep -qF "$DIR/bad.cs:1: int main() { return 1 +; }" "$DIR/err" || fail "diagnostic lacks the file, line and source: $(cat "$DIR/err")"
printf '#include "inc.csh"\nint main() { return 2; }\n' > "$DIR/outer.cs"
printf 'int f() { return 1; }\nint g() { int x = ; }\n' > "$DIR/inc.csh"
if "$TOOL" check "$DIR/outer.cs" 2> "$DIR/err"; then fail "an include's error passed"; fi
grep -qF "$DIR/inc.csh:2: int g() { int x = ; }" "$DIR/err" || fail "an include's error names its file: $(cat "$DIR/err")"
"$TOOL" --help | grep -q '^usage: morvane-script' || fail "--help"
grep -q 'PR_expression' "$DIR/err" || fail "diagnostic lacks the message"

printf 'int main() { int z = 0; return 1 %% z; }\nint seven() { return 7; }\n' > "$DIR/runtime.cs"
if "$TOOL" run "$DIR/runtime.cs" > "$DIR/out" 2> "$DIR/err"; then fail "run of a failing script succeeded"; fi
grep -q 'division by zero' "$DIR/err" || fail "run error not on stderr"
grep -qF "$DIR/runtime.cs:1" "$DIR/err" || fail "run error does not name its file and line"
"$TOOL" disasm "$DIR/runtime.cs" | grep -qF "; $DIR/runtime.cs:2" || fail "disasm does not show source lines"
[ "$("$TOOL" run "$DIR/runtime.cs" seven)" = "7" ] || fail "run FILE FUNCTION"

if "$TOOL" run "$DIR/missing.cs" 2> "$DIR/err"; then fail "missing file accepted"; fi
grep -q 'cannot read' "$DIR/err" || fail "missing file message"
if "$TOOL" bogus 2>/dev/null; then fail "unknown command accepted"; fi

# Policy scripts with the antispam host: the shipped one compiles; errors and results as above.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$TOOL" check --antispam "$ROOT/dist/scripts/antispam/core.cs" > /dev/null || fail "the shipped core.cs does not compile"
for f in "$ROOT"/dist/scripts/admin/*.cs; do
    "$TOOL" check --admin "$f" > /dev/null || fail "the shipped admin script $f does not compile"
done
for f in "$ROOT"/dist/scripts/cron/*.cs "$ROOT"/dist/scripts/examples/*.cs; do
    "$TOOL" check "$f" > /dev/null || fail "the shipped script $f does not compile"
done
if "$TOOL" check --antispam "$ROOT/tests/relay/broken.cs" 2> "$DIR/err"; then fail "a broken policy script passed"; fi
grep -q 'undefined_function' "$DIR/err" || fail "antispam diagnostics not on stderr"
printf 'CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);\nint Lan() { return k.IsLanIp("10.1.2.3") + k.SPFQuery("", "", ""); }\n' > "$DIR/policy.cs"
[ "$("$TOOL" run --antispam "$DIR/policy.cs" Lan)" = "4" ] || fail "run --antispam FILE FUNCTION"
# RegularExpressionCheck takes its defaults (mail 0, result 0): no result, no score.
printf 'CS_ANTISPAM_SCRIPT k = new CS_ANTISPAM_SCRIPT($_this);\nfloat Rx() { return k.RegularExpressionCheck(); }\n' > "$DIR/rx.cs"
[ "$("$TOOL" run --antispam "$DIR/rx.cs" Rx)" = "0" ] || fail "RegularExpressionCheck() without arguments"

natives=$("$TOOL" --list-natives)
for want in 'CS_ANTISPAM_SCRIPT {' 'int ConnectToDefaultMTA();' 'CS_CRON_SCRIPT {' 'HashArray {' 'const char* Format(const char*);' 'float pow(var,float);' \
            'const char* GetMorvaneVersion();' 'CS_CRON_INSTANCE* $_this;' 'CS_ANTISPAM_SCRIPT(CS_PROXY_ANTISPAM_INSTANCE);' \
            'CS_ADMIN_SCRIPT {' 'CAdminRequest {' 'CAdminResponse {' 'CS_WEB_SCRIPT {' 'void CGI_SESSION_START(const char*,int);'; do
    grep -qF -- "$want" <<< "$natives" || fail "--list-natives lacks: $want"
done
! grep -qF '(?)' <<< "$natives" || fail "--list-natives names a type it does not know: $(grep -F '(?)' <<< "$natives")"
echo "morvane-script: ok"
