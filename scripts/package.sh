#!/usr/bin/env bash
# Builds the Debian package build/morvane_<version>_amd64.deb from a release build:
#   the kernel in /usr/sbin, the tools in /usr/bin, what an application directory starts from
#   (scripts, rules, GUI pages, samples) in /usr/share/morvane, the systemd unit, and maintainer
#   scripts that make the user `morvane` and the application directory /var/lib/morvane.
# MORVANE_PACKAGE_BUILD=DIR takes the executables from an existing build directory instead of
# building (the package test does, after the release build). Needs dpkg-dev and fakeroot.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

build=${MORVANE_PACKAGE_BUILD:-}
if [ -z "$build" ]; then
    MORVANE_WERROR=${MORVANE_WERROR:-ON} bash scripts/build.sh release
    build=build/release
fi
build=$(cd "$build" && pwd)
version=$(sed -n 's/^project(morvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
for exe in service/morvane tools/morvane-db tools/morvane-learn tools/morvane-rules tools/morvanectl \
    tools/morvane-script; do
    [ -x "$build/src/$exe" ] || { echo "package: $build/src/$exe is missing: build first" >&2; exit 1; }
done

stage="$root_dir/build/package"
rm -rf "$stage"
pkg="$stage/root"
mkdir -p "$pkg/DEBIAN" "$pkg/usr/sbin" "$pkg/usr/bin" "$pkg/usr/share/morvane" "$pkg/usr/share/doc/morvane" \
    "$pkg/lib/systemd/system"

# Executables, stripped of their debugging sections as Debian ships them.
install -m 0755 "$build/src/service/morvane" "$pkg/usr/sbin/morvane"
for t in morvane-db morvane-learn morvane-rules morvanectl morvane-script; do
    install -m 0755 "$build/src/tools/$t" "$pkg/usr/bin/$t"
done
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$pkg/usr/sbin/morvane" "$pkg"/usr/bin/*

# What a new application directory is made from.
cp -r dist/. "$pkg/usr/share/morvane/"
find "$pkg/usr/share/morvane" -type d -exec chmod 0755 {} +
find "$pkg/usr/share/morvane" -type f -exec chmod 0644 {} +

# Documentation Debian requires: the copyright and a changelog.
cat > "$pkg/usr/share/doc/morvane/copyright" <<'EOF'
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: morvane
Comment: An antispam kernel for SMTP mail: a transparent proxy in front of a mail server.

Files: *
Copyright: 2026 The Morvane developers
License: GPL-3+
 This program is free software: you can redistribute it and/or modify it under the terms of the
 GNU General Public License as published by the Free Software Foundation, either version 3 of
 the License, or (at your option) any later version.
 .
 On Debian systems, the complete text of the GNU General Public License version 3 can be found
 in "/usr/share/common-licenses/GPL-3".
EOF
changelog_date=$(date -u -R -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")
cat > "$stage/changelog" <<EOF
morvane ($version) unstable; urgency=medium

  * Built from the Morvane sources, $(git rev-parse --short HEAD 2>/dev/null || echo "unknown revision").

 -- Morvane developers <packages@morvane.example.org>  $changelog_date
EOF
gzip -9n -c "$stage/changelog" > "$pkg/usr/share/doc/morvane/changelog.gz"
chmod 0644 "$pkg/usr/share/doc/morvane/"*

# The unit: started only once the operator wrote a configuration; the hardening keeps a fault
# in a parser inside the application directory.
cat > "$pkg/lib/systemd/system/morvane.service" <<'EOF'
[Unit]
Description=Morvane antispam SMTP proxy
Documentation=file:///usr/share/doc/morvane/copyright
After=network-online.target
Wants=network-online.target
ConditionPathExists=/var/lib/morvane/morvane.ini

[Service]
Type=simple
User=morvane
Group=morvane
ExecStart=/usr/sbin/morvane --appdir /var/lib/morvane
ExecReload=/bin/kill -HUP $MAINPID
Restart=on-failure
TimeoutStopSec=30
LimitNOFILE=65536
UMask=0027
# Port 25 without being root.
AmbientCapabilities=CAP_NET_BIND_SERVICE
CapabilityBoundingSet=CAP_NET_BIND_SERVICE
NoNewPrivileges=yes
PrivateTmp=yes
PrivateDevices=yes
ProtectSystem=strict
ProtectHome=yes
ReadWritePaths=/var/lib/morvane
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=no
RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX
SystemCallArchitectures=native

[Install]
WantedBy=multi-user.target
EOF
chmod 0644 "$pkg/lib/systemd/system/morvane.service"

# Dependencies from the libraries the executables link. The MariaDB client is opened at run
# time by the MySQL classes only, so it is a recommendation.
mkdir -p "$stage/shlibs/debian"
printf 'Source: morvane\n\nPackage: morvane\nArchitecture: any\n' > "$stage/shlibs/debian/control"
shlibs=$(cd "$stage/shlibs" && dpkg-shlibdeps -O "$pkg/usr/sbin/morvane" "$pkg"/usr/bin/* 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
[ -n "$shlibs" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
installed_size=$(du -sk --exclude=DEBIAN "$pkg" | cut -f1)

cat > "$pkg/DEBIAN/control" <<EOF
Package: morvane
Version: $version
Architecture: $arch
Maintainer: Morvane developers <packages@morvane.example.org>
Installed-Size: $installed_size
Depends: $shlibs, adduser, init-system-helpers (>= 1.54~)
Recommends: libmariadb3
Section: mail
Priority: optional
Description: antispam kernel for SMTP mail
 Morvane sits in front of a mail server as a transparent SMTP proxy. It
 relays each client conversation to the back-end MTA and runs an antispam
 policy script at every step: DNS block lists, SPF, DKIM and DMARC,
 greylisting, a statistical filter, regular-expression rules, phishing and
 reputation lists. It has a web GUI, a remote-administration server, a cron
 scheduler for maintenance scripts, and Prometheus metrics.
EOF

cat > "$pkg/DEBIAN/postinst" <<'EOF'
#!/bin/sh
set -e
if [ "$1" = "configure" ]; then
    if ! getent passwd morvane >/dev/null; then
        adduser --system --group --home /var/lib/morvane --no-create-home --quiet morvane
    fi
    # The application directory: what the package ships, copied only where the operator has no
    # file of that name, so an upgrade never overwrites a script, rule or page they changed.
    mkdir -p /var/lib/morvane
    cp -rn /usr/share/morvane/. /var/lib/morvane/
    chown -R morvane:morvane /var/lib/morvane
    chmod 0750 /var/lib/morvane
fi
if [ "$1" = "configure" ] || [ "$1" = "abort-upgrade" ] || [ "$1" = "abort-deconfigure" ] || [ "$1" = "abort-remove" ]; then
    deb-systemd-helper unmask 'morvane.service' >/dev/null || true
    if deb-systemd-helper --quiet was-enabled 'morvane.service'; then
        deb-systemd-helper enable 'morvane.service' >/dev/null || true
    else
        deb-systemd-helper update-state 'morvane.service' >/dev/null || true
    fi
    if [ -d /run/systemd/system ]; then
        systemctl --system daemon-reload >/dev/null || true
        # Without /var/lib/morvane/morvane.ini the unit's condition keeps it from starting.
        if [ -n "$2" ]; then action=restart; else action=start; fi
        deb-systemd-invoke $action 'morvane.service' >/dev/null || true
    fi
fi
exit 0
EOF

cat > "$pkg/DEBIAN/prerm" <<'EOF'
#!/bin/sh
set -e
if [ -d /run/systemd/system ] && [ "$1" = remove ]; then
    deb-systemd-invoke stop 'morvane.service' >/dev/null || true
fi
exit 0
EOF

cat > "$pkg/DEBIAN/postrm" <<'EOF'
#!/bin/sh
set -e
if [ -d /run/systemd/system ]; then
    systemctl --system daemon-reload >/dev/null || true
fi
if [ "$1" = "remove" ] && [ -x "/usr/bin/deb-systemd-helper" ]; then
    deb-systemd-helper mask 'morvane.service' >/dev/null || true
fi
if [ "$1" = "purge" ]; then
    if [ -x "/usr/bin/deb-systemd-helper" ]; then
        deb-systemd-helper purge 'morvane.service' >/dev/null || true
        deb-systemd-helper unmask 'morvane.service' >/dev/null || true
    fi
    # The operator's tables, quarantine and logs go with a purge only.
    rm -rf /var/lib/morvane
    if getent passwd morvane >/dev/null && command -v deluser >/dev/null; then
        deluser --system --quiet morvane >/dev/null || true
    fi
fi
exit 0
EOF
chmod 0755 "$pkg/DEBIAN/postinst" "$pkg/DEBIAN/prerm" "$pkg/DEBIAN/postrm"

out="$root_dir/build/morvane_${version}_${arch}.deb"
fakeroot dpkg-deb --build -Zxz "$pkg" "$out" >/dev/null
echo "$out"
