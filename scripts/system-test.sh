#!/usr/bin/env bash
# system-test.sh [bookworm|trixie] — the Debian package over its whole life as
# an administrator and local users meet it, under a real systemd: builds the
# package from this checkout in a clean build root of that Debian release
# (Debian 12 by default, or 13) and builds it again to check that the two
# packages are the same bytes, boots a minimal root of the release with
# systemd-nspawn, and inside it: installs the package, uses the helper through
# the setgid client as unprivileged users (run, a flood of requests, lldp,
# install of a newer and of an older signed package, an uninstall during
# another user's slow install, uninstall), then takes the package through
# reinstall after the helper's uninstall, an upgrade under a self-updated
# helper, an upgrade to a rebuilt package with the same helper version and a
# changed socket, a downgrade, apt-get remove during a slow install, a change
# of variant and back, a reboot, and purge, checking units, files and
# `dpkg --verify` after each step.
#
# Needs root and some minutes. Not part of .ci/run. It prints each phase, its
# result and its time, and exits non-zero at the first failure
# (XQ_KEEP_GOING=1: runs the later phases all the same and exits non-zero at
# the end). The roots are made with mmdebstrap once and kept as tarballs in
# /var/cache/xqsip-system-test (remove them to make fresh ones); everything
# else lives in a scratch folder that is removed at the end. With CCACHE_DIR
# in the environment the package build uses that ccache.
set -euo pipefail

release=${1:-bookworm}
case "$release" in
  bookworm | trixie) ;;
  *) echo "usage: system-test.sh [bookworm|trixie]" >&2; exit 2 ;;
esac
src=$(cd "$(dirname "$0")/.." && pwd)
cache=/var/cache/xqsip-system-test
label=lx.pelk.XQSipLocationHelper
pkg=xqsip-location-helper-testpki
shipped=xqsip-location-helper
sock=/run/$label.sock
helper=/var/lib/$label/$label
seed=/usr/libexec/$label/$label
jobdesc=/etc/$label/$label.service
joblink=/etc/systemd/system/$label.service
user=xqtester
user2=xqtester2
keep_going=${XQ_KEEP_GOING:-0}

work=$(mktemp -d /var/tmp/xqsip-system-test.XXXXXX)
chmod 0755 "$work"   # lldpd drops privileges and must reach its control socket here
machine=xqst-$$
ns_switch=xqst-sw-$$
veth_host=xqsw$$
veth_ct=xqct$$
nspawn_pid=""
lldpd_pid=""
pid1=""
failed_phases=()

stop_container() {
  if [ -n "$nspawn_pid" ]; then
    kill "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  nspawn_pid=""
  pid1=""
}

cleanup() {
  local rc=$?
  [ -n "$lldpd_pid" ] && kill "$lldpd_pid" 2>/dev/null || true
  stop_container
  ip netns del "$ns_switch" 2>/dev/null || true
  if [ $rc -ne 0 ] && [ -f "$work/nspawn.log" ]; then
    echo "--- last lines of the container's console ($work/nspawn.log):"
    tail -n 30 "$work/nspawn.log" || true
  fi
  rm -rf "$work"
  exit $rc
}
trap cleanup EXIT
trap 'exit 143' TERM INT

# ---------------------------------------------------------------------------
# Reporting

phase_times=()
phase_start=""
phase_name=""
phase() {
  phase_end
  phase_name=$1
  phase_start=$(date +%s.%N)
  printf '\n== %s\n' "$1"
}
phase_end() {
  local result=${1:-ok}
  if [ -n "$phase_start" ]; then
    local took
    took=$(awk -v a="$phase_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    printf '   (%s s)\n' "$took"
    phase_times+=("$(printf '%-58s %7s s  %s' "$phase_name" "$took" "$result")")
  fi
  phase_start=""
}

# step NAME FUNCTION — a phase of the container test, run in a subshell: its
# first failure ends it; then the test ends, or with XQ_KEEP_GOING=1 goes on.
step() {
  phase "$1"
  local rc=0
  set +e
  (
    set -e
    "$2"
  )
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    phase_end FAILED
    failed_phases+=("$1")
    if [ "$keep_going" != 1 ]; then
      summary
      exit 1
    fi
  fi
}

summary() {
  phase_end
  printf '\n== times (%s)\n' "$release"
  printf '   %s\n' "${phase_times[@]}"
}

fail() {
  printf '   FAIL: %s\n' "$*"
  if [ -n "$pid1" ]; then
    echo "--- the service's last journal lines:"
    in_ct journalctl --no-pager -n 25 -u "$label.service" -u "$label.socket" 2>&1 | sed 's/^/   /' || true
  fi
  exit 1
}
ok() { printf '   ok    %s\n' "$*"; }

# in_ct CMD... — runs CMD inside the container (all namespaces of its PID 1,
# a clean environment) as root.
in_ct() {
  nsenter -t "$pid1" -a -r -w env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SYSTEMD_PAGER=cat \
    SYSTEMD_COLORS=0 LC_ALL=C.UTF-8 "$@"
}
# as USER CMD... — the same as an unprivileged user, with that user's groups
# only (the client's setgid bit is what gives it the helper's group).
as() {
  local who=$1
  shift
  in_ct setpriv --reuid="$who" --regid="$who" --init-groups --reset-env "$@"
}
as_user() { as "$user" "$@"; }

# expect WHAT ACTUAL WANTED
expect() {
  if [ "$2" = "$3" ]; then ok "$1: $2"; else fail "$1: got '$2', wanted '$3'"; fi
}

# client ARGS... — the installed client as the user ($client_user, or the
# first test user); prints its output and exit status as "OUTPUT (exit N)".
client() {
  local out rc=0
  out=$(as "${client_user:-$user}" /usr/bin/xqsip-client --timeout "${client_timeout:-60}" "$@" 2>&1) || rc=$?
  printf '%s (exit %d)' "${out:-<no reply>}" "$rc"
}

dpkg_verify_clean() {
  local out p=${1:-$pkg}
  out=$(in_ct dpkg --verify "$p" 2>&1) || fail "dpkg --verify: $out"
  [ -z "$out" ] || fail "dpkg --verify: $out"
  ok "dpkg --verify $p: clean"
}

unit_state() { # UNIT -> "active-state/enabled-state"
  local a e
  a=$(in_ct systemctl is-active "$1" 2>/dev/null || true)
  e=$(in_ct systemctl is-enabled "$1" 2>/dev/null || true)
  echo "${a:-none}/${e:-none}"
}

file_state() { # PATH -> "owner:group mode" or "absent"
  in_ct stat -c '%U:%G %a' "$1" 2>/dev/null || echo absent
}

sha() { in_ct sha256sum "$1" 2>/dev/null | cut -d' ' -f1; }

# wait_until TRIES COMMAND... — true once COMMAND succeeds, tried every 0.1 s
# at most TRIES times; false if it never did.
wait_until() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

service_ended() { [ "$(in_ct systemctl is-active "$label.service" || true)" != active ]; }
socket_restarted_since() { [ "$1" != "$(in_ct systemctl show -P InvocationID "$label.socket")" ]; }
units_inactive() { [ "$(in_ct systemctl is-active "$label.service" "$label.socket" | sort -u)" = inactive ]; }

# The daemon ends once it has been idle for 10 s.
wait_service_end() {
  wait_until 300 service_ended || fail "$label.service still active 30 s after its client left"
}

# expect_uninstalled WHO REPLY — an uninstall's reply (the daemon may end
# before it answers), then, once the service and the socket have stopped,
# nothing left of the helper, its job description or its socket.
expect_uninstalled() {
  case "$2" in
    '[true,""] (exit 0)' | '<no reply> (exit 3)') ok "$1: $2" ;;
    *) fail "$1: $2" ;;
  esac
  wait_until 100 units_inactive || true
  expect "helper" "$(file_state "$helper")" "absent"
  expect "job description" "$(file_state "$jobdesc")" "absent"
  expect "job description link" "$(in_ct readlink "$joblink" || echo absent)" "absent"
  expect "socket unit" "$(unit_state "$label.socket")" "inactive/disabled"
  expect "socket file" "$(file_state "$sock")" "absent"
}

cache_empty() {
  expect "the helper's cache holds nothing" \
    "$(in_ct sh -c "ls -A /var/cache/$label 2>/dev/null | wc -l")" "0"
}

# apt ARGS... — apt-get in the container; its output goes to $work/apt.log.
apt() {
  in_ct env DEBIAN_FRONTEND=noninteractive ${apt_env:-} apt-get -y -q "$@" >"$work/apt.log" 2>&1
}
apt_or_fail() {
  apt "$@" || { tail -n 30 "$work/apt.log" | sed 's/^/   apt: /'; fail "apt-get $*"; }
  ok "apt-get $*"
}

# The service works: the socket listens, a request is served and the
# service ends with its client.
serves() {
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  expect "run" "$(client run)" "[true] (exit 0)"
  wait_service_end
}

# A list of what the package and the helper may leave on the system.
leftovers() {
  in_ct sh -c "ls -d /usr/libexec/$label /usr/share/$label /var/lib/$label /var/cache/$label \
    /etc/$label $joblink /usr/lib/systemd/system/$label.socket /usr/lib/sysusers.d/$label.conf \
    /etc/systemd/system/sockets.target.wants/$label.socket $sock /usr/bin/xqsip-client \
    /var/lib/systemd/deb-systemd-helper-enabled/$label.socket.dsh-also \
    /var/lib/systemd/deb-systemd-helper-masked/$label.socket 2>/dev/null" || true
}

# The package's fields without versions: "a, b (>= 1) | c" -> "a,b".
field_names() {
  tr ',' '\n' | sed 's/([^)]*)//g; s/\[[^]]*\]//g; s/|.*//; s/[[:space:]]//g' | grep -v '^$' | paste -sd, -
}

mirror() {
  local m
  m=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
  [ -n "$m" ] || m=$(awk '$1 == "deb" && $3 ~ /^(bookworm|trixie)$/ {print $2; exit}' /etc/apt/sources.list)
  [ -n "$m" ] || fail "no Debian mirror found in the apt sources"
  echo "$m"
}

# root_tar VARIANT INCLUDES — a root of the release made by mmdebstrap with
# INCLUDES, kept in the cache under a name that changes with them.
root_tar() {
  local variant=$1 includes=$2 tar key
  key=$(printf '%s' "$includes" | sha256sum | cut -c1-12)
  tar=$cache/$release-$variant-$key.tar
  if [ ! -s "$tar" ]; then
    mkdir -p "$cache"
    mmdebstrap --variant="$variant" --include="$includes" "$release" "$tar.new.tar" "$(mirror)" \
      >"$work/mmdebstrap.log" 2>&1 || { tail -n 20 "$work/mmdebstrap.log" >&2; return 1; }
    mv "$tar.new.tar" "$tar"
  fi
  echo "$tar"
}

# in_build CMD — a shell command in the build root (not booted), in /src.
in_build() {
  local extra=()
  if [ -n "${CCACHE_DIR:-}" ] && [ -d "$CCACHE_DIR" ]; then
    extra=(--bind="$CCACHE_DIR" --setenv=CCACHE_DIR="$CCACHE_DIR" --setenv=CCACHE_BASEDIR=/src
           --setenv=CMAKE_C_COMPILER_LAUNCHER=ccache --setenv=CMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  systemd-nspawn -q -D "$work/buildroot" -M "xqsb-$$" --register=no --keep-unit --as-pid2 \
    "${extra[@]}" --setenv=LC_ALL=C.UTF-8 --chdir=/src -- /bin/sh -c "$1" \
    2> >(grep -v '^Attempted to remove disk file system' >&2)
}

# boot — boots the container's root; sets nspawn_pid and pid1.
boot() {
  systemd-nspawn -D "$work/root" -M "$machine" -b --register=no --keep-unit --private-network \
    --bind-ro="$work/share:/mnt/debs" --console=passive >>"$work/nspawn.log" 2>&1 &
  nspawn_pid=$!
  local state=""
  for _ in $(seq 300); do
    pid1=$(pgrep -P "$nspawn_pid" -x systemd | head -n1 || true)
    if [ -n "$pid1" ]; then
      state=$(in_ct systemctl is-system-running 2>/dev/null || true)
      case "$state" in running | degraded) break ;; esac
    fi
    kill -0 "$nspawn_pid" 2>/dev/null || fail "systemd-nspawn ended"
    sleep 0.2
  done
  [ -n "$pid1" ] || fail "no systemd in the container"
  case "$state" in running | degraded) ;; *) fail "system state: $state" ;; esac
  ok "systemd $(in_ct systemctl --version | head -n1 | awk '{print $2}') is PID 1 of the container ($state)"
}

# repack IN OUT VERSION [PACKAGE] — a rebuilt package: IN with VERSION (and
# the name PACKAGE, with Conflicts and Replaces swapped), its files changed by
# the function $repack_edit (given the unpacked tree) if set.
repack() {
  local in=$1 out=$2 version=$3 name=${4:-} dir
  dir=$work/repack
  rm -rf "$dir"
  dpkg-deb -R "$in" "$dir"
  sed -i "s/^Version: .*/Version: $version/" "$dir/DEBIAN/control"
  if [ -n "$name" ]; then
    local old
    old=$(sed -n 's/^Package: //p' "$dir/DEBIAN/control")
    sed -i "s/^Package: .*/Package: $name/; s/^Conflicts: .*/Conflicts: $old/; s/^Replaces: .*/Replaces: $old/" \
      "$dir/DEBIAN/control"
    mv "$dir/usr/share/doc/$old" "$dir/usr/share/doc/$name"
  fi
  if [ -n "${repack_edit:-}" ]; then "$repack_edit" "$dir"; fi
  (cd "$dir" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0 md5sum >DEBIAN/md5sums)
  dpkg-deb --root-owner-group -Zxz -b "$dir" "$out" >/dev/null
}

# ---------------------------------------------------------------------------
phase "tools on this machine"
missing=()
for p in debhelper lintian mmdebstrap systemd-container lldpd; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "   installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
ok "debhelper, lintian, mmdebstrap, systemd-nspawn, lldpd present"

# ---------------------------------------------------------------------------
phase "clean build root of $release"
build_deps=$(sed -n '/^Build-Depends:/,/^[A-Z][A-Za-z-]*: /p' "$src/debian/control" |
  sed '1s/^Build-Depends://; ${/^[A-Z][A-Za-z-]*: /d}' | field_names)
buildroot_tar=$(root_tar buildd "$build_deps,ccache") || fail "mmdebstrap of the build root"
ok "$buildroot_tar (Build-Depends: $build_deps)"
mkdir -p "$work/buildroot"
tar -xf "$buildroot_tar" -C "$work/buildroot"

phase "build the package (warnings are errors)"
mkdir -p "$work/share" "$work/buildroot/src" "$work/first"
# The checkout's files (committed or not, never what git ignores, such as build/).
# Taken once: both builds get the same files.
(cd "$src" && git ls-files -z --cached --others --exclude-standard |
  tar --null --ignore-failed-read -cf - -T - 2>/dev/null) >"$work/checkout.tar"
checkout() { tar -xf "$work/checkout.tar" -C "$1"; }
checkout "$work/buildroot/src"
in_build 'dpkg-buildpackage -b -us -uc -j2' >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log"; fail "dpkg-buildpackage (log above)"; }
mv "$work"/buildroot/*.deb "$work/first/"
deb=$(ls "$work"/first/${pkg}_*_amd64.deb)
ok "built $(ls "$work/first" | paste -sd' ') with $(in_build 'g++ --version' | head -n1)"
if grep -q -- '-Werror' "$work/build.log"; then ok "compiled with -Werror"; else fail "no -Werror in the build log"; fi
echo "   Static-Built-Using: $(dpkg-deb -f "$deb" Static-Built-Using)"
echo "   Depends: $(dpkg-deb -f "$deb" Depends)"
[ -n "$(dpkg-deb -f "$deb" Static-Built-Using)" ] || fail "no Static-Built-Using"
cp "$deb" "$work/share/"
deb=$work/share/$(basename "$deb")
# The signed test packages are made with the package build's own test PKI, by
# its xqpkg, in the build root; the stand-in for the maker's package takes the
# build's daemon that trusts the maker's roots.
in_build "ninja -C debian/build tools/xqpkg/xqpkg $label >/dev/null && strip -o /src/shipped-daemon debian/build/$label" ||
  fail "ninja xqpkg $label"

phase "the same package again (reproducible build)"
mkdir -p "$work/buildroot/src2/src"
# Another source folder, the first build's test PKI.
checkout "$work/buildroot/src2/src"
in_build 'cd /src2/src && XQ_TESTPKI_FROM=/src/debian/build/testpki CCACHE_BASEDIR=/src2/src dpkg-buildpackage -b -us -uc -j2' \
  >"$work/build2.log" 2>&1 || { tail -n 40 "$work/build2.log"; fail "second dpkg-buildpackage"; }
repro_ok=1
for d in "$work"/first/*.deb; do
  d2=$work/buildroot/src2/$(basename "$d")
  if cmp "$d" "$d2"; then
    ok "cmp $(basename "$d"): identical ($(sha256sum <"$d" | cut -c1-16)…)"
  else
    repro_ok=0
    echo "   FAIL: the second build's $(basename "$d") differs:"
    diff <(dpkg-deb -f "$d") <(dpkg-deb -f "$d2") | sed 's/^/     control: /' || true
    diff <(dpkg-deb -I "$d" md5sums) <(dpkg-deb -I "$d2" md5sums) | sed 's/^/     md5sums: /' || true
    mkdir -p "$cache/differing" && cp "$d" "$cache/differing/1-$(basename "$d")" &&
      cp "$d2" "$cache/differing/2-$(basename "$d")" && echo "     both kept in $cache/differing/"
  fi
done
if [ $repro_ok = 0 ]; then
  phase_end FAILED
  failed_phases+=("the same package again (reproducible build)")
  [ "$keep_going" = 1 ] || { summary; exit 1; }
fi

phase "lintian"
lintian_out=$(lintian "$work"/first/*.deb 2>&1 | grep -v '^running with root' || true)
printf '%s\n' "${lintian_out:-   (nothing)}" | sed 's/^/   /'
if printf '%s\n' "$lintian_out" | grep -q '^E:'; then fail "lintian reports errors"; fi
ok "no lintian errors"

# ---------------------------------------------------------------------------
phase "minimal root of $release"
# What the package needs at run time is all there: the container has no network.
runtime=$(dpkg-deb -f "$deb" Depends | field_names)
rootfs_tar=$(root_tar minbase "systemd,systemd-sysv,dbus,sudo,iproute2,procps,passwd,$runtime") ||
  fail "mmdebstrap of the minimal root"
ok "$rootfs_tar"
mkdir -p "$work/root"
tar -xf "$rootfs_tar" -C "$work/root"
mkdir -p "$work/root/mnt/debs"

phase "boot systemd in the container"
boot
for u in "$user" "$user2"; do
  in_ct useradd --create-home --shell /bin/sh "$u"
  ok "unprivileged user $u (uid $(in_ct id -u "$u"))"
done

# ---------------------------------------------------------------------------
phase "the packages of the later phases"

# package NAME VERSION [BUNDLE_VERSION] [SLEEP] — a product archive signed by
# the maker's installer identity of the test PKI, whose payload puts the
# package's helper (the seed, with a line naming the version appended after
# the ELF image, so that each package's helper differs; its CFBundleVersion
# made BUNDLE_VERSION) at the helper's path; with SLEEP, its preinstall
# script sleeps that many seconds.
package() {
  local name=$1 version=$2 bundle=${3:-} pause=${4:-} d=$work/buildroot/src/pkg-$1
  mkdir -p "$d/root" "$d/scripts"
  cp "$work/buildroot/src/debian/$pkg$seed" "$d/root/$label"
  if [ -n "$bundle" ]; then
    # Same length: the bundle information is a section of the ELF image.
    [ ${#bundle} -eq 10 ] || fail "bundle version $bundle: 10 characters"
    perl -0pi -e "s{(<key>CFBundleVersion</key>\\s*<string>)5\\.16\\.0\\.124(</string>)}{\${1}$bundle\${2}}" "$d/root/$label"
    grep -a -A1 '<key>CFBundleVersion</key>' "$d/root/$label" | grep -q "<string>$bundle</string>" ||
      fail "the helper's CFBundleVersion could not be made $bundle"
  fi
  printf '\nxqsip-system-test helper %s\n' "$version" >>"$d/root/$label"
  chmod 0755 "$d/root/$label"
  local scripts=""
  if [ -n "$pause" ]; then
    printf '#!/bin/sh\nsleep %s\nexit 0\n' "$pause" >"$d/scripts/preinstall"
    chmod 0755 "$d/scripts/preinstall"
    scripts="--scripts /src/pkg-$name/scripts"
  fi
  # xqpkg runs in the build root: its commands are collected and run at once.
  cat >>"$work/buildroot/src/make-packages.sh" <<CMDS
x=debian/build/tools/xqpkg/xqpkg
\$x build --identifier $label --version $version --root /src/pkg-$name/root $scripts \
  --install-location /var/lib/$label /src/pkg-$name/component.pkg >/dev/null
\$x product --app-id $label --component helper.pkg=/src/pkg-$name/component.pkg \
  /src/pkg-$name/product.pkg >/dev/null
\$x sign --pki debian/build/testpki /src/pkg-$name/product.pkg /src/pkg-$name/signed.pkg >/dev/null
CMDS
  sha256sum <"$d/root/$label" | cut -d' ' -f1 >"$work/share/$name.sha"
}
echo 'set -e' >"$work/buildroot/src/make-packages.sh"
package newer 5.17.0 5.17.0.124
package older 5.15.9
package slow 5.18.0 5.18.0.124 8
package slow2 5.18.0 5.18.0.124 8
in_build 'sh /src/make-packages.sh' || fail "xqpkg"
for name in newer older slow slow2; do cp "$work/buildroot/src/pkg-$name/signed.pkg" "$work/share/$name.pkg"; done

base_version=$(dpkg-deb -f "$deb" Version)
# A rebuild with the same helper version: the seed's bytes change, its
# CFBundleVersion does not.
rebuilt_seed() { printf '\nrebuilt %s\n' "$version" >>"$1$seed"; } # repack's VERSION
repack_edit=rebuilt_seed repack "$deb" "$work/share/rebuild1.deb" "$base_version+r1"
# Another rebuild that also changes the socket unit.
rebuilt_socket() {
  rebuilt_seed "$1"
  printf '# rebuilt %s\n' "$version" >>"$1/usr/lib/systemd/system/$label.socket"
}
repack_edit=rebuilt_socket repack "$deb" "$work/share/rebuild2.deb" "$base_version+r2"
# The maker's package cannot be built here (its identity is the maker's):
# its stand-in is the test package under the maker's package name with the
# daemon that trusts only the maker's roots.
shipped_daemon() { install -m 0755 "$work/buildroot/src/shipped-daemon" "$1$seed"; }
repack_edit=shipped_daemon repack "$deb" "$work/share/shipped.deb" "$base_version" "$shipped"
sha256sum <"$work/buildroot/src/shipped-daemon" | cut -d' ' -f1 >"$work/share/shipped.sha"
ok "signed packages (newer, older, two slow ones), rebuilt Debian packages r1 and r2, the maker's stand-in"
share_sha() { cat "$work/share/$1.sha"; }
seed_sha() { dpkg-deb --fsys-tarfile "$work/share/$1" | tar -xOf - ".$seed" | sha256sum | cut -d' ' -f1; }

# After apt remove: no unit of the helper runs or can start; deb-systemd-helper
# masks the socket until purge (Debian's way for a removed package's units).
units_after_remove() {
  local units
  units=$(in_ct systemctl list-units --all --no-legend --plain "$label.*" |
    awk '{ print $1 " " $2 "/" $3 }' | paste -sd' ' -)
  echo "   units known after remove: ${units:-none}"
  expect "units active, activating or failed" \
    "$(in_ct systemctl list-units --no-legend --state=active,activating,deactivating,failed "$label.*" | wc -l)" "0"
  case " $units " in
    *" loaded/"* ) fail "a unit of the helper is still loaded: $units" ;;
  esac
  ok "nothing of the helper is loaded but masked or missing units"
}

# ---------------------------------------------------------------------------
t_install() {
  apt_or_fail install "/mnt/debs/$(basename "$deb")"
  grep -q 'TEST variant' "$work/apt.log" || fail "the test variant did not say what it is"
  ok "the test variant says what it is: $(grep -m1 'TEST variant' "$work/apt.log")"
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  expect "service unit (on demand)" "$(in_ct systemctl is-active "$label.service" || true)" "inactive"
  expect "job description link" "$(in_ct readlink "$joblink" || echo absent)" "$jobdesc"
  expect "job description" "$(file_state "$jobdesc")" "root:root 644"
  expect "helper" "$(file_state "$helper")" "root:root 755"
  expect "helper is the package's seed" "$(sha "$helper")" "$(sha "$seed")"
  expect "client" "$(file_state /usr/bin/xqsip-client)" "root:xqsip-client 2755"
  expect "group" "$(in_ct getent group xqsip-client | cut -d: -f1)" "xqsip-client"
  expect "socket file" "$(file_state "$sock")" "root:xqsip-client 660"
  dpkg_verify_clean
}
step "install the package" t_install

t_sandbox() {
  in_ct systemd-analyze security --no-pager "$label.service" >"$work/security.txt" 2>&1 || true
  local score
  score=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) \(.*\)/\1 \2/p' "$work/security.txt")
  echo "   systemd-analyze security: $score"
  [ -n "$score" ] || { cat "$work/security.txt"; fail "no exposure level"; }
  awk -v s="${score%% *}" 'BEGIN { exit !(s <= 3.5) }' || fail "exposure above 3.5"
  ok "exposure ${score} (3.5 or lower)"
}
step "service sandbox" t_sandbox

t_run() {
  expect "run" "$(client run)" "[true] (exit 0)"
  wait_service_end
  expect "the service ended when idle" "$(in_ct systemctl is-active "$label.service" || true)" "inactive"
  expect "service result" "$(in_ct systemctl show -P Result "$label.service")" "success"
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  dpkg_verify_clean
}
step "run (unprivileged user, setgid client)" t_run

# ---------------------------------------------------------------------------
t_flood() {
  # 200 requests in a row, then 50 at once, by one user.
  as_user sh -c 'i=0; while [ $i -lt 200 ]; do /usr/bin/xqsip-client --timeout 30 run >/dev/null 2>&1; i=$((i+1)); done
    i=0; while [ $i -lt 50 ]; do /usr/bin/xqsip-client --timeout 30 run >/dev/null 2>&1 & i=$((i+1)); done; wait' || true
  echo "   systemctl after the flood:"
  in_ct systemctl show -p ActiveState -p SubState -p Result "$label.socket" | sed 's/^/     socket  /'
  in_ct systemctl show -p ActiveState -p SubState -p Result -p NRestarts "$label.service" | sed 's/^/     service /'
  in_ct systemctl --no-pager list-units --all --no-legend "$label.*" | sed 's/^/     /'
  expect "socket not failed" "$(in_ct systemctl is-failed "$label.socket" || true)" "active"
  expect "service not failed" "$(in_ct systemctl is-failed "$label.service" || true)" "$(in_ct systemctl is-active "$label.service" || true)"
  local t0 t1 out
  t0=$(date +%s.%N)
  out=$(client_user=$user2 client run)
  t1=$(date +%s.%N)
  echo "   the other user's request after the flood took $(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }') s"
  expect "the other user's run" "$out" "[true] (exit 0)"
  wait_service_end
}
step "a flood by one user, then another user's request" t_flood

# ---------------------------------------------------------------------------
t_lldp() {
  ip netns add "$ns_switch"
  ip link add "$veth_host" netns "$ns_switch" type veth peer name "$veth_ct"
  ip link set "$veth_ct" netns "$pid1"
  ip -n "$ns_switch" link set "$veth_host" address 00:1a:2b:3c:4d:5e
  ip -n "$ns_switch" link set "$veth_host" up
  in_ct ip link set "$veth_ct" up
  mkdir -m 0755 "$work/lldpd"
  cat >"$work/lldpd/lldpd.conf" <<CONF
configure lldp tx-interval 1
configure lldp portidsubtype local Gi1/0/12
configure system hostname system-test-switch
CONF
  ip netns exec "$ns_switch" lldpd -d -k -I "$veth_host" -u "$work/lldpd/lldpd.sock" \
    -p "$work/lldpd/lldpd.pid" -O "$work/lldpd/lldpd.conf" >"$work/lldpd/lldpd.log" 2>&1 &
  local lldpd=$!
  local out
  out=$(client lldp)
  kill "$lldpd" 2>/dev/null || true
  wait "$lldpd" 2>/dev/null || true
  ip netns del "$ns_switch" 2>/dev/null || true
  [ "$out" = '["00:1a:2b:3c:4d:5e","Gi1/0/12"] (exit 0)' ] || sed 's/^/   lldpd: /' "$work/lldpd/lldpd.log"
  expect "lldp" "$out" '["00:1a:2b:3c:4d:5e","Gi1/0/12"] (exit 0)'
  wait_service_end
  dpkg_verify_clean
}
step "lldp (lldpd on a veth into the container)" t_lldp

# ---------------------------------------------------------------------------
t_newer() {
  # The client downloads into its own /tmp, which the service must see.
  in_ct install -o "$user" -g "$user" -m 0644 /mnt/debs/newer.pkg "/tmp/newer.pkg"
  expect "install newer (5.17.0)" "$(client install /tmp/newer.pkg)" '[true,""] (exit 0)'
  wait_service_end
  expect "helper replaced by the package's" "$(sha "$helper")" "$(share_sha newer)"
  expect "helper" "$(file_state "$helper")" "root:root 755"
  expect "job description" "$(file_state "$jobdesc")" "root:root 644"
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  cache_empty
  dpkg_verify_clean
  expect "run with the new helper" "$(client run)" "[true] (exit 0)"
  wait_service_end
}
step "install a newer signed package (self-update to 5.17.0.124)" t_newer

t_older() {
  in_ct install -o "$user" -g "$user" -m 0644 /mnt/debs/older.pkg "/home/$user/older.pkg"
  local before
  before=$(sha "$helper")
  expect "install older (5.15.9)" "$(client install "/home/$user/older.pkg")" \
    "[false,\"safe install path's location pkg version not allowed\"] (exit 0)"
  wait_service_end
  expect "helper unchanged" "$(sha "$helper")" "$before"
  cache_empty
  dpkg_verify_clean
}
step "install an older signed package (refused)" t_older

t_upgrade_under_selfupdate() {
  apt_or_fail install "/mnt/debs/rebuild1.deb"
  grep -q 'kept the helper that a self-update installed' "$work/apt.log" || fail "no word of the kept helper"
  expect "the self-updated helper (5.17.0.124) stays" "$(sha "$helper")" "$(share_sha newer)"
  serves
  dpkg_verify_clean
}
step "package upgrade with an older seed under a self-updated helper" t_upgrade_under_selfupdate

# ---------------------------------------------------------------------------
# wait_installing — until a slow package's preinstall runs.
installing() { in_ct pgrep -x sleep >/dev/null; }
wait_installing() {
  wait_until 300 installing || fail "the slow install did not start"
}

# start_slow_install PKG OUT — $user's install of /mnt/debs/PKG (its
# preinstall sleeps 8 s) in the background, its reply to OUT, once it runs;
# its pid in the caller's `installing`.
start_slow_install() {
  in_ct install -o "$user" -g "$user" -m 0644 "/mnt/debs/$1" "/tmp/$1"
  client install "/tmp/$1" >"$2" &
  installing=$!
  wait_installing
  ok "$user's install runs (its preinstall sleeps 8 s)"
}

t_uninstall_during_install() {
  local installing
  start_slow_install slow.pkg "$work/slow.out"
  local staged
  staged=$(in_ct sh -c "du -sk /var/cache/$label | cut -f1")
  echo "   staged in the cache meanwhile: ${staged} KiB"
  local out
  out=$(client_user=$user2 client uninstall)
  echo "   $user2's uninstall: $out"
  wait "$installing" || true
  expect "$user's install replied" "$(cat "$work/slow.out")" '[true,""] (exit 0)'
  expect_uninstalled "$user2's uninstall" "$out"
  expect "the install ran to its end before the uninstall (no sleep left)" \
    "$(installing && echo running || echo none)" "none"
  cache_empty
  local leftover
  leftover=$(in_ct sh -c "ls -d /var/cache/$label/$label.* 2>/dev/null | wc -l")
  expect "staging directories left" "$leftover" "0"
  dpkg_verify_clean
}
step "uninstall by one user during another user's slow install" t_uninstall_during_install

t_reinstall_after_uninstall() {
  expect "before: socket unit" "$(unit_state "$label.socket")" "inactive/disabled"
  apt_or_fail install --reinstall "/mnt/debs/rebuild1.deb"
  expect "helper is the package's seed" "$(sha "$helper")" "$(seed_sha rebuild1.deb)"
  serves
  dpkg_verify_clean
}
step "reinstall after the helper's uninstall" t_reinstall_after_uninstall

t_rebuild() {
  local before_socket before_helper
  before_socket=$(in_ct systemctl show -P InvocationID "$label.socket")
  before_helper=$(sha "$helper")
  apt_or_fail install "/mnt/debs/rebuild2.deb"
  expect "the rebuilt seed (same CFBundleVersion) is the helper" "$(sha "$helper")" "$(seed_sha rebuild2.deb)"
  [ "$before_helper" != "$(sha "$helper")" ] || fail "the helper did not change"
  wait_until 300 socket_restarted_since "$before_socket" || fail "the changed socket unit was not restarted"
  ok "the changed socket unit was restarted"
  expect "socket unit needs no reload" "$(in_ct systemctl show -P NeedDaemonReload "$label.socket")" "no"
  serves
  dpkg_verify_clean
}
step "upgrade to a rebuilt package (same helper version, changed socket)" t_rebuild

t_downgrade() {
  apt_or_fail install --allow-downgrades "/mnt/debs/$(basename "$deb")"
  expect "the older package's seed is the helper" "$(sha "$helper")" "$(sha "$seed")"
  expect "it is the first build's seed" "$(sha "$helper")" "$(seed_sha "$(basename "$deb")")"
  serves
  dpkg_verify_clean
}
step "downgrade to the first build" t_downgrade

t_remove_during_install() {
  local installing
  start_slow_install slow2.pkg "$work/slow2.out"
  apt_or_fail remove "$pkg"
  wait "$installing" || true
  expect "$user's install replied" "$(cat "$work/slow2.out")" '[true,""] (exit 0)'
  expect "socket unit" "$(in_ct systemctl is-active "$label.socket" || true)" "inactive"
  expect "service unit" "$(in_ct systemctl is-active "$label.service" || true)" "inactive"
  expect "socket file" "$(file_state "$sock")" "absent"
  expect "client removed" "$(file_state /usr/bin/xqsip-client)" "absent"
  expect "helper" "$(file_state "$helper")" "absent"
  expect "job description link" "$(in_ct readlink "$joblink" || echo absent)" "absent"
  expect "the helper's cache" "$(file_state "/var/cache/$label")" "absent"
  units_after_remove
}
step "apt-get remove during a slow install" t_remove_during_install

t_variant() {
  apt_or_fail install "/mnt/debs/$(basename "$deb")"
  serves
  apt_or_fail install "/mnt/debs/shipped.deb"
  expect "$pkg" "$(in_ct dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || echo not-installed)" "config-files"
  expect "the maker's daemon replaced the test one" "$(sha "$helper")" "$(share_sha shipped)"
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  local out
  out=$(client_timeout=10 client run)
  case "$out" in
    '[true] (exit 0)') fail "the maker's daemon served the test-signed client" ;;
    *) ok "the maker's daemon refuses the test-signed client: $out" ;;
  esac
  wait_service_end
  dpkg_verify_clean "$shipped"
  # dpkg -i: the refusal leaves the maker's package installed and running.
  # (apt-get removes a conflicting package in a step of its own before it
  # unpacks the new one; the refusal then leaves neither installed.)
  if in_ct dpkg -i "/mnt/debs/$(basename "$deb")" >"$work/dpkg.log" 2>&1; then
    fail "the test variant replaced the maker's package unasked"
  fi
  grep -q 'refusing to replace' "$work/dpkg.log" || { tail -n 20 "$work/dpkg.log"; fail "no refusal"; }
  ok "dpkg -i without XQSIP_ALLOW_TESTPKI=yes: $(grep -m1 'refusing to replace' "$work/dpkg.log")"
  expect "$shipped still installed" "$(in_ct dpkg-query -W -f='${db:Status-Status}' "$shipped" 2>/dev/null)" "installed"
  expect "$pkg" "$(in_ct dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" "config-files"
  expect "its daemon" "$(sha "$helper")" "$(share_sha shipped)"
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  apt_env=XQSIP_ALLOW_TESTPKI=yes apt_or_fail install "/mnt/debs/$(basename "$deb")"
  expect "the test daemon replaced the maker's" "$(sha "$helper")" "$(sha "$seed")"
  serves
  dpkg_verify_clean
}
step "change of variant: to the maker's package and back" t_variant

phase "reboot (power off, boot again)"
in_ct systemctl poweroff || true
for _ in $(seq 300); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$nspawn_pid" 2>/dev/null && fail "the container did not power off"
wait "$nspawn_pid" 2>/dev/null || true
ok "powered off"
nspawn_pid=""
boot
t_after_boot() {
  expect "socket unit" "$(unit_state "$label.socket")" "active/enabled"
  expect "first request after boot" "$(client run)" "[true] (exit 0)"
  wait_service_end
  dpkg_verify_clean
}
step "the first request after the reboot" t_after_boot

# ---------------------------------------------------------------------------
t_uninstall() {
  local out
  out=$(client uninstall)
  expect_uninstalled "uninstall" "$out"
  expect "service unit" "$(in_ct systemctl show -P LoadState "$label.service")" "not-found"
  in_ct systemctl daemon-reload
  sleep 1
  expect "socket unit after daemon-reload" "$(unit_state "$label.socket")" "inactive/disabled"
  expect "socket file after daemon-reload" "$(file_state "$sock")" "absent"
  # (The client retries a refused connection until its timeout.)
  out=$(client_timeout=3 client run)
  case "$out" in
    *"(exit 2)") ok "client after uninstall: no service to connect to (exit 2)" ;;
    *) fail "client after uninstall: $out" ;;
  esac
  cache_empty
  dpkg_verify_clean
}
step "uninstall" t_uninstall

t_purge() {
  apt_or_fail purge "$pkg" "$shipped"
  expect "package" "$(in_ct dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || echo not-installed)" "not-installed"
  local left
  left=$(leftovers)
  expect "files left" "${left:-none}" "none"
  left=$(in_ct sh -c "ls -d /var/lib/*/$label* /var/cache/*$label* /etc/*$label* /etc/*/*$label* 2>/dev/null" || true)
  expect "anything of the helper under /var/lib, /var/cache, /etc" "${left:-none}" "none"
  expect "statoverride" "$(in_ct dpkg-statoverride --list /usr/bin/xqsip-client || echo none)" "none"
  expect "units known to systemd" \
    "$(in_ct systemctl list-unit-files --no-legend "$label.*" | wc -l)" "0"
  expect "units loaded" "$(in_ct systemctl list-units --all --no-legend "$label.*" | wc -l)" "0"
  echo "   note  the system group xqsip-client stays, as Debian's system groups do"
}
step "apt purge" t_purge

t_again() {
  apt_or_fail install "/mnt/debs/$(basename "$deb")"
  serves
  apt_or_fail remove "$pkg"
  expect "socket unit" "$(in_ct systemctl is-active "$label.socket" || true)" "inactive"
  expect "socket file" "$(file_state "$sock")" "absent"
  expect "client removed" "$(file_state /usr/bin/xqsip-client)" "absent"
  units_after_remove
  apt_or_fail purge "$pkg"
  local left
  left=$(leftovers)
  expect "files left after remove and purge" "${left:-none}" "none"
  expect "units loaded" "$(in_ct systemctl list-units --all --no-legend "$label.*" | wc -l)" "0"
}
step "install again, apt remove, apt purge" t_again

summary
if [ ${#failed_phases[@]} -gt 0 ]; then
  printf '\nsystem test FAILED (%s): %s\n' "$release" "$(printf '%s; ' "${failed_phases[@]}")"
  exit 1
fi
printf '\nsystem test passed (%s)\n' "$release"
