# helper-choice.sh — which helper runs after a package operation: the seed
# copy that the package brings or the helper already in place (docs/paths.md,
# "Which helper runs"). Sourced by the package's postinst from
# /usr/share/lx.pelk.XQSipLocationHelper/ and by its unit test; POSIX sh.
#
# The rule: what a package installs replaces what a package installed
# earlier, whatever the CFBundleVersion; a helper that a self-update placed is
# kept only while it is newer than the package's seed; a change of variant
# (the test PKI's or the maker's package) always replaces the helper and its
# job description. What the package placed is recorded, with its digest and
# the package's name, in /var/lib/lx.pelk.XQSipLocationHelper/package-placed.

xq_label=lx.pelk.XQSipLocationHelper

# xq_choose HELPER HELPER_VERSION PLACED PLACED_BY SEED SEED_VERSION PACKAGE
# The decision alone. HELPER: digest of the helper in place (empty: none);
# PLACED, PLACED_BY: digest of the helper that a package placed last and that
# package's name (empty: no record); SEED: digest of the package's seed;
# PACKAGE: the package being configured. Prints "place REASON" or
# "keep REASON".
xq_choose() {
	if [ -z "$1" ]; then
		echo "place no-helper"
	elif [ -n "$4" ] && [ "$4" != "$7" ]; then
		echo "place variant-change"
	elif [ "$1" = "$5" ]; then
		echo "place same-as-seed"
	elif [ -n "$3" ] && [ "$1" = "$3" ]; then
		echo "place package-placed"
	elif [ -n "$2" ] && [ -n "$6" ] && dpkg --compare-versions "$2" gt "$6"; then
		echo "keep self-updated-newer"
	else
		echo "place self-updated-not-newer"
	fi
}

# The CFBundleVersion in an executable's embedded bundle information.
xq_bundle_version() {
	grep -a -A1 '<key>CFBundleVersion</key>' "$1" 2>/dev/null |
		sed -n 's:.*<string>\([0-9.]*\)</string>.*:\1:p' | head -n1
}

xq_digest() {
	if [ -f "$1" ]; then sha256sum <"$1" | cut -d' ' -f1; fi
}

# xq_record_get KEY: a value of the record (empty when absent).
xq_record_get() {
	sed -n "s/^$1=//p" "${DPKG_ROOT:-}/var/lib/$xq_label/package-placed" 2>/dev/null | head -n1
}

# xq_record PACKAGE DIGEST: records that PACKAGE is configured and that the
# helper it placed last has DIGEST, with the socket unit it ships.
xq_record() {
	xq_record_=${DPKG_ROOT:-}/var/lib/$xq_label/package-placed
	{
		echo "package=$1"
		echo "helper=$2"
		echo "socket=$(xq_digest "${DPKG_ROOT:-}/usr/lib/systemd/system/$xq_label.socket")"
	} >"$xq_record_.new"
	chmod 0644 "$xq_record_.new"
	mv -f "$xq_record_.new" "$xq_record_"
}

# xq_bless PACKAGE: puts the helper and its job description in place for
# PACKAGE (the postinst's blessing step) under $DPKG_ROOT, then links the job
# description into systemd's unit directory. Prints the decision.
xq_bless() {
	xq_root_=${DPKG_ROOT:-}
	xq_dir_=$xq_root_/var/lib/$xq_label
	xq_unit_dir_=$xq_root_/etc/$xq_label
	xq_seed_=$xq_root_/usr/libexec/$xq_label/$xq_label
	xq_seed_unit_=$xq_root_/usr/share/$xq_label/$xq_label.service
	xq_link_=$xq_root_/etc/systemd/system/$xq_label.service
	mkdir -p "$xq_dir_" "$xq_unit_dir_" "$xq_root_/etc/systemd/system"
	chmod 0755 "$xq_dir_" "$xq_unit_dir_"
	xq_placed_=$(xq_record_get helper)
	xq_decision_=$(xq_choose "$(xq_digest "$xq_dir_/$xq_label")" \
		"$(xq_bundle_version "$xq_dir_/$xq_label")" \
		"$xq_placed_" "$(xq_record_get package)" \
		"$(xq_digest "$xq_seed_")" "$(xq_bundle_version "$xq_seed_")" "$1")
	case $xq_decision_ in
	place*)
		install -m 0755 "$xq_seed_" "$xq_dir_/$xq_label.new"
		mv -f "$xq_dir_/$xq_label.new" "$xq_dir_/$xq_label"
		install -m 0644 "$xq_seed_unit_" "$xq_unit_dir_/$xq_label.service.new"
		mv -f "$xq_unit_dir_/$xq_label.service.new" "$xq_unit_dir_/$xq_label.service"
		xq_placed_=$(xq_digest "$xq_seed_")
		;;
	*)
		if [ ! -e "$xq_unit_dir_/$xq_label.service" ]; then
			install -m 0644 "$xq_seed_unit_" "$xq_unit_dir_/$xq_label.service"
		fi
		;;
	esac
	# A kept helper leaves the record naming what the package placed earlier.
	xq_record "$1" "$xq_placed_"
	# systemd finds the job description through this link (systemctl link).
	if [ ! -L "$xq_link_" ] && [ ! -e "$xq_link_" ]; then
		ln -s "/etc/$xq_label/$xq_label.service" "$xq_link_"
	fi
	echo "$xq_decision_"
}
