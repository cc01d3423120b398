#!/bin/sh
# The package's choice of the helper that runs (debian/helper-choice.sh): the
# decision for each case, printed as a table, then the blessing step on files
# under a scratch DPKG_ROOT through a package's life (install, self-update,
# rebuild, upgrade, downgrade, variant change, self-uninstall).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../debian/helper-choice.sh"

failures=0
check() { # WHAT GOT WANTED
	if [ "$2" = "$3" ]; then
		printf 'ok    %s\n' "$1"
	else
		printf 'FAIL  %s: got "%s", wanted "%s"\n' "$1" "$2" "$3"
		failures=$((failures + 1))
	fi
}

T=xqsip-location-helper-testpki
S=xqsip-location-helper
echo "| helper in place | recorded (package placed) | helper version | seed version | package | decision |"
echo "|---|---|---|---|---|---|"
# case HELPER HELPER_VERSION PLACED PLACED_BY SEED SEED_VERSION PACKAGE WANTED
case_() {
	got=$(xq_choose "$1" "$2" "$3" "$4" "$5" "$6" "$7")
	printf '| %s | %s | %s | %s | %s | %s |\n' "${1:-none}" "${3:-none} (${4:-none})" \
		"${2:--}" "$6" "$7" "$got"
	[ "$got" = "$8" ] || {
		echo "FAIL  wanted $8"
		failures=$((failures + 1))
	}
}
case_ "" "" "" "" seed1 5.16.0 $T "place no-helper"
case_ "" "" old1 $T seed1 5.16.0 $T "place no-helper"
case_ seed1 5.16.0 seed1 $T seed1 5.16.0 $T "place same-as-seed"
case_ old1 5.16.0 old1 $T seed1 5.16.0 $T "place package-placed"
case_ old1 5.17.0 old1 $T seed1 5.16.0 $T "place package-placed"
case_ old1 5.15.0 old1 $T seed1 5.16.0 $T "place package-placed"
case_ upd1 5.17.0 old1 $T seed1 5.16.0 $T "keep self-updated-newer"
case_ upd1 5.16.0 old1 $T seed1 5.16.0 $T "place self-updated-not-newer"
case_ upd1 5.15.9 old1 $T seed1 5.16.0 $T "place self-updated-not-newer"
case_ upd1 "" old1 $T seed1 5.16.0 $T "place self-updated-not-newer"
case_ upd1 5.17.0 "" "" seed1 5.16.0 $T "keep self-updated-newer"
case_ upd1 5.16.0 "" "" seed1 5.16.0 $T "place self-updated-not-newer"
case_ upd1 5.17.0 old1 $T seed1 5.16.0 $S "place variant-change"
case_ old1 5.16.0 old1 $S seed1 5.16.0 $T "place variant-change"
case_ upd1 5.16.0.10 old1 $T seed1 5.16.0.9 $T "keep self-updated-newer"

# The blessing step on real files.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export DPKG_ROOT=$root
L=$xq_label
mkdir -p "$root/usr/libexec/$L" "$root/usr/share/$L" "$root/usr/lib/systemd/system"
# helper FILE VERSION BUILD: an executable with embedded bundle information.
helper() {
	printf '\177ELF build %s\n<key>CFBundleVersion</key>\n\t<string>%s</string>\n' "$3" "$2" >"$1"
	chmod 0755 "$1"
}
# package VERSION BUILD UNIT: the files a package of the helper VERSION unpacks.
package() {
	helper "$root/usr/libexec/$L/$L" "$1" "$2"
	echo "[Service] # $3" >"$root/usr/share/$L/$L.service"
	echo "[Socket] # $2" >"$root/usr/lib/systemd/system/$L.socket"
}
placed() { sha256sum <"$root/var/lib/$L/$L" | cut -d' ' -f1; }
seed() { sha256sum <"$root/usr/libexec/$L/$L" | cut -d' ' -f1; }
unit() { cat "$root/etc/$L/$L.service"; }

package 5.16.0 a unit-a
check "install" "$(xq_bless $T)" "place no-helper"
check "install: the helper is the seed" "$(placed)" "$(seed)"
check "install: the job description" "$(unit)" "[Service] # unit-a"
check "install: the link" "$(readlink "$root/etc/systemd/system/$L.service")" "/etc/$L/$L.service"
check "install: the record" "$(xq_record_get package) $(xq_record_get helper)" "$T $(seed)"
check "install: the record's socket unit" "$(xq_record_get socket)" \
	"$(sha256sum <"$root/usr/lib/systemd/system/$L.socket" | cut -d' ' -f1)"
check "reinstall" "$(xq_bless $T)" "place same-as-seed"

package 5.16.0 b unit-b
check "rebuild, same version" "$(xq_bless $T)" "place package-placed"
check "rebuild: the new seed runs" "$(placed)" "$(seed)"
check "rebuild: its job description" "$(unit)" "[Service] # unit-b"

package 5.15.0 c unit-c
check "downgrade" "$(xq_bless $T)" "place package-placed"
check "downgrade: the older seed runs" "$(placed)" "$(seed)"

packaged=$(placed)
helper "$root/var/lib/$L/$L" 5.17.0 self
echo "[Service] # self" >"$root/etc/$L/$L.service"
selfupdated=$(placed)
package 5.16.0 d unit-d
check "upgrade under a newer self-update" "$(xq_bless $T)" "keep self-updated-newer"
check "the self-updated helper stays" "$(placed)" "$selfupdated"
check "with its job description" "$(unit)" "[Service] # self"
check "the record still names the helper the package placed" "$(xq_record_get helper)" "$packaged"
package 5.17.0 e unit-e
check "upgrade to a seed as new as the self-update" "$(xq_bless $T)" "place self-updated-not-newer"
check "the seed runs" "$(placed)" "$(seed)"

helper "$root/var/lib/$L/$L" 5.18.0 self2
package 5.17.0 f unit-f
check "variant change under a newer self-update" "$(xq_bless $S)" "place variant-change"
check "the other variant's seed runs" "$(placed)" "$(seed)"
check "the record names the other variant" "$(xq_record_get package)" "$S"

rm "$root/var/lib/$L/$L" "$root/etc/$L/$L.service" "$root/etc/systemd/system/$L.service"
check "reinstall after self-uninstall" "$(xq_bless $S)" "place no-helper"
check "the link again" "$(readlink "$root/etc/systemd/system/$L.service")" "/etc/$L/$L.service"
check "no temporary copy left" "$(find "$root" -name '*.new' | wc -l)" "0"

if [ "$failures" -ne 0 ]; then
	echo "$failures failures"
	exit 1
fi
echo "all passed"
