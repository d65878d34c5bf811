#!/usr/bin/env bash
# Installs everything Morvane needs to build, test, fuzz and run its demo on Debian 12, as
# root. Safe to run again: apt-get skips what is already there.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: run as root (apt-get install needs it)" >&2
    exit 1
fi
packages=(
    # build
    build-essential cmake ninja-build pkg-config
    libpcre2-dev
    # STARTTLS (libssl) and the HMAC-SHA-256 of the cooperative network's datagrams (libcrypto)
    libssl-dev
    # tests, benchmarks, fuzzing
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev clang-format
    # the reference of the script engine's benchmark (bench/script_vs_lua.sh)
    lua5.4
    # real peers of the end-to-end tests and the demo
    swaks libnet-ssleay-perl libio-socket-ssl-perl libio-socket-inet6-perl python3 python3-aiosmtpd libxml2-utils unbound openssl curl
    # a real load balancer in front of the kernel (the PROXY protocol test)
    haproxy
    # the state several kernels share: the client library, and a server for the tests
    libhiredis-dev redis-server libboost-context-dev
    # the MySQL classes' tests: a throwaway server and the client library loaded at run time
    mariadb-server libmariadb3
    # the SPF suite's reader (tests/spf_suite.py)
    python3-yaml
    # the independent DKIM signer of the DKIM tests (tests/dkim_test.py), Ed25519 through nacl
    python3-dkim python3-nacl
    # the Public Suffix List DMARC finds organisational domains with
    publicsuffix
    # ip(8): the IPv6 relay test puts two addresses of one /64 on the loopback interface
    iproute2
    # the metrics test parses /metrics with the Prometheus client's own parser
    python3-prometheus-client
    # the package: built under fakeroot, checked by lintian
    fakeroot lintian
    # the web GUI's browser test (tests/gui_test.js): headless Chromium driven by playwright-core
    # (node and npm are the machine's own)
    chromium chromium-driver
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The RFC 7208 test suite ships in python3-spf's documentation: fetched and unpacked for
# tests/spf_suite.py, not installed.
suite="$(cd "$(dirname "$0")/.." && pwd)/build/deps/python3-spf"
if [ ! -e "$suite/usr/share/doc/python3-spf/rfc7208-tests.yml.gz" ]; then
    mkdir -p "$suite"
    (cd "$suite" && apt-get download -qq python3-spf 2>/dev/null && dpkg -x python3-spf_*.deb .)
fi

# playwright-core for the browser test, pinned, into build/deps/npm (not installed system-wide).
# The browser is Debian's /usr/bin/chromium: playwright downloads nothing.
npm_dir="$(cd "$(dirname "$0")/.." && pwd)/build/deps/npm"
if [ ! -e "$npm_dir/node_modules/playwright-core/package.json" ] && command -v npm >/dev/null; then
    mkdir -p "$npm_dir"
    (cd "$npm_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm install --no-audit --no-fund --silent \
        playwright-core@1.65.2) ||
        echo "install-deps: npm could not fetch playwright-core; the browser test will be skipped" >&2
fi
