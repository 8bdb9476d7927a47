#!/bin/bash
# Installs the three Debian FTP daemons the end-to-end tests start (see tests/servers.py;
# vsftpd and Pure-FTPd also serve the FTPS tests, under logins of their own), and the
# clients lftp and rclone the benchmark runs, on Debian 12, as root. Safe to run again: when all is in place it only checks and exits.
#
# The daemons all declare "Conflicts: ftp-server", so only vsftpd is installed with apt;
# proftpd and pure-ftpd are unpacked from their .deb files into $DEST, with the shared
# libraries they link against installed from apt.
set -euo pipefail

DEST=/opt/corvane-ftp-servers
PASSWORD=Pw-ftp-test1           # tests/servers.py logs in with it
USERS="ftpvs ftppro ftppure ftpvstls ftppuretls"  # one login per server, so none sees another's files
UNPACKED="proftpd-core:usr/sbin/proftpd pure-ftpd:usr/sbin/pure-ftpd"

[ "$(id -u)" = 0 ] || { echo "$0: run as root" >&2; exit 1; }

CLEANUP=()
trap 'rm -rf -- "${CLEANUP[@]}"' EXIT

binaries() {
    echo /usr/sbin/vsftpd
    for entry in $UNPACKED; do echo "$DEST/${entry%%:*}/${entry#*:}"; done
}

# A binary counts as installed when it exists and the loader finds every library it needs.
installed() {
    local binary
    for binary in $(binaries); do
        [ -x "$binary" ] || return 1
        ! ldd "$binary" | grep -q 'not found' || return 1
    done
}

# The library entries of a .deb's Depends field, version constraints kept.
library_depends() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//' | grep -E '^(lib|zlib)' || true
}

install_packages() {
    if [ "$(apt-cache policy vsftpd proftpd-core pure-ftpd | grep -c 'Candidate: [0-9]')" != 3 ]; then
        apt-get update
    fi
    local debs
    debs=$(mktemp -d)
    CLEANUP+=("$debs")
    (cd "$debs" && apt-get download proftpd-core pure-ftpd)

    # A fresh machine would start vsftpd as a service listening on every address's
    # port 21, which the test servers need: keep it from starting, now and at boot.
    local policy=/usr/sbin/policy-rc.d
    if [ ! -e "$policy" ]; then
        CLEANUP+=("$policy")
        printf '#!/bin/sh\nexit 101\n' > "$policy"
        chmod 755 "$policy"
    fi
    # "satisfy" installs what is missing and leaves alone what already fits.
    local wanted
    wanted=$( (echo vsftpd; for deb in "$debs"/*.deb; do library_depends "$deb"; done) | sort -u | paste -sd,)
    DEBIAN_FRONTEND=noninteractive apt-get satisfy -y --no-install-recommends "$wanted"
    if command -v systemctl > /dev/null; then
        systemctl disable vsftpd 2> /dev/null || true
        if [ -d /run/systemd/system ]; then systemctl stop vsftpd || true; fi
    fi

    mkdir -p "$DEST"
    local entry package
    for entry in $UNPACKED; do
        package=${entry%%:*}
        rm -rf "$DEST/$package.new"
        dpkg -x "$debs/${package}"_*.deb "$DEST/$package.new"
        rm -rf "$DEST/$package"
        mv "$DEST/$package.new" "$DEST/$package"
    done
}

# vsftpd's PAM stack admits only users whose shell is listed in /etc/shells. The homes are
# links that tests/servers.py points at each run's served root.
ensure_users() {
    grep -qx /bin/sh /etc/shells || echo /bin/sh >> /etc/shells
    mkdir -p "$DEST/home"
    local user home
    for user in $USERS; do
        home=$DEST/home/$user
        if ! id "$user" > /dev/null 2>&1; then
            useradd --system --no-create-home --home-dir "$home" --shell /bin/sh --user-group "$user"
        elif [ "$(getent passwd "$user" | cut -d: -f6-)" = "$home:/bin/sh" ]; then
            continue
        else
            usermod --home "$home" --shell /bin/sh "$user"
        fi
        echo "$user:$PASSWORD" | chpasswd
    done
}

# The tree copiers `python -m bench` measures the transfer engine against (bench/contenders.py).
PEERS="lftp rclone"

peers_installed() {
    local peer
    for peer in $PEERS; do command -v "$peer" > /dev/null || return 1; done
}

install_peers() {
    # shellcheck disable=SC2086 # the list splits into package names
    if [ "$(apt-cache policy $PEERS | grep -c 'Candidate: [0-9]')" != 2 ]; then
        apt-get update
    fi
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $PEERS
}

installed || install_packages
peers_installed || install_peers
ensure_users
installed || { echo "$0: FTP server binaries still missing or unloadable" >&2; exit 1; }
peers_installed || { echo "$0: $PEERS not all installed" >&2; exit 1; }
echo "FTP test servers ready: $(binaries | tr '\n' ' '); clients: $PEERS"
