#!/usr/bin/env bash
# Mail through Morvane on loopback: a back-end MTA sink (aiosmtpd) on 127.0.0.1:2526, a local
# DNS server (unbound, demo zones only) on 127.0.0.1:2553, and the kernel on 127.0.0.1:2525 and
# [::1]:2525 with the shipped default policy (dist/scripts/antispam/core.cs) in ./demo. swaks sends a
# clean message, a spam-looking one, a phishing one, one whose sender fails SPF (from
# 127.0.0.2), one from a block-listed address (127.0.0.3), one over IPv6 from ::1, one over STARTTLS (with a
# throwaway certificate made here by openssl), one DKIM-signed for example.org (a key made
# here, signed by python3-dkim) and one that forges example.org's From, which example.org's
# DMARC policy has refused; the demo then shows what the
# sink received and the kernel's log. Before the kernel starts, its Bayes filter learns a few sample messages with
# morvane-learn, so the clean message is scored as ham and the spam-looking one as spam, and
# the shipped starter rules are compiled into its rule table with morvane-rules.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh release
root=$(pwd)
app="$root/demo"
sink_dir="$app/sink"
rm -rf "$sink_dir" "$app/morvane_log.xml" "$app/db" "$app/dns"
mkdir -p "$app" "$sink_dir" "$app/dns"
cp -r dist/. "$app"/
# The demo's settings, written afresh each run (remote administration on 127.0.0.1:2533).
# Greylisting is off so the first delivery of
# each message is shown (the tests exercise it); the admission checks are on (`[CS_SCRIPT]
# enable=1`: embargo, per-address limit, block-list refusal at connect); everything else is
# the shipped default, but for the Bayes filter giving verdicts after three samples of each kind
# and trusting so few samples more (a real one waits for 50, and weighs rare words less).
printf '%s\r\n' '[CONFIG]' 'loglevel=2' 'listen_ip=127.0.0.1 ::1' 'listen_port=2525' 'myname=morvane.demo' \
    'smtp_server1=127.0.0.1' 'smtp_port1=2526' \
    '[DNS]' 'nameserver_0=127.0.0.1:2553' 'timeout_millisecond=1000' \
    '[DNSBL]' 'nameserver_0=bl1.demo|12' 'nameserver_1=bl2.demo|12' \
    '[GREYLIST]' 'greylist_enable=0' '[CS_SCRIPT]' 'enable=1' '[READMIN]' 'port=2533' 'key=demo-admin-key' \
    '[BAYES]' 'bayes_min_learned=3' 'bayes_strength=1' \
    '[WEBGUI]' 'listen=127.0.0.1' 'port=2580' '[METRICS]' 'listen=127.0.0.1:2595' \
    '[TLS]' 'enable=1' "cert_file=$app/tls/demo.pem" "key_file=$app/tls/demo.key" \
    > "$app/morvane.ini"
# STARTTLS with a throwaway self-signed certificate; a real server uses one its clients trust.
mkdir -p "$app/tls"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=morvane.demo \
    -keyout "$app/tls/demo.key" -out "$app/tls/demo.pem" 2>/dev/null
# The web GUI's password (the shipped default never logs in there).
echo "demo-password" | "$root/build/release/src/service/morvane" --set-password --appdir "$app" >/dev/null

# A few sample messages, made by swaks as it will send them, teach the Bayes filter both kinds.
sample() {  # $1 = spam|ham, $2 = name, the rest: swaks arguments
    mkdir -p "$app/learn/$1"
    swaks --to bob@example.net --dump-mail "${@:3}" 2>/dev/null > "$app/learn/$1/$2.eml"
}
rm -rf "$app/learn" "$app/quarantine"
sample spam 1 --from deals@example.com --header "Subject: cheap pills" --body "Cheap pills online: discount pharmacy, best prices, order today and save."
sample spam 2 --from promo@example.com --header "Subject: you are a winner" --body "Claim your prize today: lottery winner, cheap offer, order now and save big."
sample spam 3 --from deals@example.com --header "Subject: best prices" --body "Discount pharmacy prices, cheap pills online, limited offer: order today."
sample ham 1 --from alice@example.org --header "Subject: lunch" --body "Hello Bob, see you at noon for lunch near the office."
sample ham 2 --from alice@example.org --header "Subject: meeting notes" --body "Hello Bob, the meeting notes are attached, see you at noon tomorrow."
sample ham 3 --from carol@example.org --header "Subject: weekend" --body "Hi Bob, see you at the office on Monday, lunch at noon as usual."
echo "== compiling the starter rules: morvane-rules compile rules/starter.rules"
"$root/build/release/src/tools/morvane-rules" --appdir "$app" compile "$app/rules/starter.rules" | sed 's/^/   /'
echo "== teaching the Bayes filter: morvane-learn spam/ham on $app/learn"
"$root/build/release/src/tools/morvane-learn" --appdir "$app" spam "$app/learn/spam" | sed 's/^/   /'
"$root/build/release/src/tools/morvane-learn" --appdir "$app" ham "$app/learn/ham" | sed 's/^/   /'

pids=()
cleanup() { for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
wait_port() { for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/"$1") 2>/dev/null && return 0; sleep 0.1; done; echo "nothing listens on $1" >&2; exit 1; }

sed -e "s|@PORT@|2553|g" -e "s|@DIR@|$app/dns|g" scripts/demo/unbound.conf.in > "$app/dns/unbound.conf"
# example.org signs its mail with DKIM: a throwaway RSA-2048 key, published as
# demo._domainkey.example.org in strings of at most 255 bytes, as real senders publish it.
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$app/dns/dkim.pem" 2>/dev/null
dkim_txt="v=DKIM1; k=rsa; p=$(openssl pkey -in "$app/dns/dkim.pem" -pubout -outform DER 2>/dev/null | base64 -w0)"
printf "    local-data: 'demo._domainkey.example.org. 300 IN TXT %s'\n" \
    "$(echo "$dkim_txt" | fold -w 200 | sed 's/.*/"&"/' | tr '\n' ' ')" >> "$app/dns/unbound.conf"
"$(command -v unbound || echo /usr/sbin/unbound)" -d -c "$app/dns/unbound.conf" & pids+=($!)
/usr/bin/python3 scripts/smtp_sink.py --port 2526 --dir "$sink_dir" >/dev/null & pids+=($!)
wait_port 2526
echo "== starting morvane --appdir $app (listening on 127.0.0.1:2525 and [::1]:2525, MTA sink on 2526)"
"$root/build/release/src/service/morvane" --appdir "$app" & morvane=$!
pids+=($morvane)
wait_port 2525

send() {  # $1 = what, the rest: swaks arguments; SERVER (default 127.0.0.1) is the kernel's address
    local what=$1
    shift
    echo "== $what"
    swaks --server "${SERVER:-127.0.0.1}" --port 2525 --to bob@example.net --body "Hello Bob, see you at noon." "$@" 2>&1 |
        grep -E '^<[-~*]+ +(354|250 2.0.0|4[0-9]{2}|5[0-9]{2})' | sed 's/^/   /' || true
}
send "a clean message (HELO mail.example.org)" --from alice@example.org --helo mail.example.org --header "Subject: lunch"
send "a spam-looking message (HELO spambot: not a domain name)" --from deals@example.com --helo spambot \
    --header "Subject: cheap pills" --add-header "Content-Type: text/plain; charset=us-ascii" \
    --body "Cheap pills online: discount pharmacy prices, order now. Money-back guarantee."
send "a phishing message: it claims paypal.com and links elsewhere" --from notice@example.com --helo mail.example.com \
    --header 'From: "PayPal" <service@paypal.com>' --header "Subject: Your account is limited" \
    --add-header "Content-Type: text/html; charset=utf-8" \
    --body '<p>Please <a href="https://paypal.com.account-check.example/login">log in to paypal.com</a> today.</p>'
send "a forged sender: example.org's SPF record allows only 127.0.0.1, this is 127.0.0.2" \
    --from billing@example.org --helo mail.example.org --header "Subject: invoice" --local-interface 127.0.0.2
send "a message from 127.0.0.3, listed by both demo block lists" --from bulk@example.com --helo mail.example.com \
    --header "Subject: offer" --local-interface 127.0.0.3
SERVER=::1 send "a clean message over IPv6 (swaks -6 from ::1): example.org's SPF passes it by its ip6 term" -6 \
    --from alice@example.org --helo mail.example.org --header "Subject: lunch over IPv6"
send "a clean message over STARTTLS (swaks --tls): the score header names the cipher" --tls \
    --from alice@example.org --helo mail.example.org --header "Subject: lunch over TLS"
# Signed as example.org's own server would (python3-dkim), sent through a mailing list's
# envelope: SPF says nothing about example.org, the aligned DKIM signature passes DMARC.
swaks --to bob@example.net --from list@lists.example.net --header 'From: Alice <alice@example.org>' \
    --header "Subject: signed minutes" --body "Hello Bob, the signed minutes of the meeting." --dump-mail \
    2>/dev/null > "$app/dns/signed.eml"
/usr/bin/python3 -c '
import sys, dkim
msg = open(sys.argv[1], "rb").read().rstrip(b"\r\n") + b"\r\n"  # swaks leaves a bare CR at the end
key = open(sys.argv[2], "rb").read()
sig = dkim.sign(msg, b"demo", b"example.org", key, include_headers=[b"from", b"to", b"subject", b"date"])
open(sys.argv[1], "wb").write(sig + msg)' "$app/dns/signed.eml" "$app/dns/dkim.pem"
send "a DKIM-signed message for example.org from a mailing list: DKIM and DMARC pass" \
    --from list@lists.example.net --helo mail.lists.example.net --data "@$app/dns/signed.eml"
send "a forged From of example.org, unsigned, from elsewhere: example.org's DMARC p=reject refuses it" \
    --from newsletter@example.com --helo mail.example.com --header 'From: "Example billing" <billing@example.org>' \
    --header "Subject: your invoice"

sleep 0.5
echo "== what the MTA sink received"
for f in "$sink_dir"/*.eml; do
    [ -e "$f" ] || { echo "   (nothing)"; break; }
    echo "-- $(basename "$f")"
    # The verdict fields, each with its continuation lines.
    awk '/^\r?$/ { exit } /^[^ \t]/ { show = /^(Subject|X-Morvane-Score|X-MORVANE-Spam|Authentication-Results):/ }
         show { sub(/\r$/, ""); print "   " $0 }' "$f"
done

echo "== remote administration: morvanectl --appdir $app status (127.0.0.1:2533)"
"$root/build/release/src/tools/morvanectl" --appdir "$app" status | grep -E '^(version|cron_jobs|rules|domains|f1n_)' |
    sed 's/^/   /' || true

ctl="$root/build/release/src/tools/morvanectl"
echo "== the message history, newest first: morvanectl history count=5 (when, client, sender, action, step)"
"$ctl" --appdir "$app" history count=5 | tail -n +2 | cut -f3,6,9,13,14 | sed 's/^/   /' || true
spam_sample=$(ls "$app"/learn/spam/* 2>/dev/null | head -1)
if [ -n "$spam_sample" ]; then
    echo "== a message checked by hand, nothing delivered: morvanectl check learn/spam/$(basename "$spam_sample")"
    "$ctl" --appdir "$app" check "$spam_sample" | tail -n +2 | sed 's/^/   /' || true
fi

echo "== monitoring: curl http://127.0.0.1:2595/healthz -> $(curl -s http://127.0.0.1:2595/healthz); a few of /metrics"
curl -s http://127.0.0.1:2595/metrics |
    grep -E '^morvane_(sessions_total|sessions_by_action_total|admission_refusals_total|spf_results_total|dmarc_results_total|filter_verdicts_total)' |
    sed 's/^/   /'

echo "== quarantined by Bayes verdict"
for kind in spam ham neutral learn; do echo "   quarantine/$kind: $(ls "$app/quarantine/$kind" 2>/dev/null | wc -l) message(s)"; done

echo "== web GUI on http://127.0.0.1:2580/ (user root, password demo-password): today's dashboard"
jar="$app/gui-cookies.txt"
# The login form carries a token tied to a cookie, as a browser posts it.
token=$(curl -s -c "$jar" http://127.0.0.1:2580/login.htmcc | sed -n 's/.*name="token" value="\([0-9a-f]*\)".*/\1/p')
curl -s -b "$jar" -c "$jar" -o /dev/null --data "user=root&password=demo-password&token=$token" \
    http://127.0.0.1:2580/login.htmcc
curl -s -b "$jar" http://127.0.0.1:2580/index.htmcc |
    grep -o '<span class="value" id="c-[a-z]*">[0-9]*</span><span class="label">[a-z ]*' |
    sed 's/<span class="value" id="c-[a-z]*">\([0-9]*\)<\/span><span class="label">\(.*\)/   \2: \1/' || true
rm -f "$jar"
if [ -n "${DEMO_STAY:-}" ]; then
    read -r -p "== the kernel keeps running: open http://127.0.0.1:2580/ in a browser; Enter stops it " _ || true
fi

kill -TERM "$morvane"
wait "$morvane" || true
echo "== morvane_log.xml, the session lines (well-formed: $(xmllint --noout "$app/morvane_log.xml" && echo yes))"
xmllint --xpath '//LogItem/Entry/text()' "$app/morvane_log.xml" | sed 's/&lt;/</g;s/&gt;/>/g;s/&amp;/\&/g' |
    grep -E 'O.K. Connect|refused|fr<-cl : (EHLO|HELO|DATA)|Remove Session' | sed 's/^/   /' | tail -n 20
echo "== maintenance by hand, now the kernel has stopped: morvane-script --appdir $app run scripts/cron/tables_report.cs"
"$root/build/release/src/tools/morvane-script" --appdir "$app" run "$app/scripts/cron/tables_report.cs" 2>&1 >/dev/null |
    sed 's/^/   /'
echo "== open $app/morvane_log.xml in a browser to read it through Log.xsl"
