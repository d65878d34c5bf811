# Sourced by the relay benchmarks: postfix's smtp-source and smtp-sink, taken from Debian's
# postfix package and unpacked under build/bench-tools (no postfix daemon, no root). Sets
# SOURCE and SINK and the library path they need. Expects ROOT (the checkout).
TOOLS="$ROOT/build/bench-tools"
if [ ! -x "$TOOLS/usr/sbin/smtp-source" ]; then
    mkdir -p "$TOOLS/deb"
    (cd "$TOOLS/deb" && apt-get download postfix >/dev/null 2>&1)
    dpkg -x "$TOOLS"/deb/postfix_*.deb "$TOOLS"
fi
export LD_LIBRARY_PATH="$TOOLS/usr/lib/postfix"
SOURCE="$TOOLS/usr/sbin/smtp-source"
SINK="$TOOLS/usr/sbin/smtp-sink"
