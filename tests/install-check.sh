#!/bin/sh
# Checks what a user gets: usage: install-check.sh BUILD_DIR SOURCE_DIR
#
# 1. `cmake --install` into a scratch DESTDIR (with the configured prefix)
#    and into a scratch --prefix: the binary runs on the shipped sample and
#    writes what the build's own binary writes; the manual page is there.
# 2. `cpack -G DEB`: the control data is sound, its dependencies are met on
#    this machine, and the package unpacked with dpkg-deb -x and installed
#    with dpkg --root into scratch roots gives a working binary and the
#    manual page; it holds the copyright file (the licence of LICENSE) and
#    the changelog of its version, its binary is hardened (unless the build
#    was configured with TXT2SHEET_HARDEN=OFF), and lintian, where it is
#    installed, reports no error.
# Everything is written under one scratch folder, removed at the end; the
# build and source trees are left as they were.

if [ $# -ne 2 ]; then
	echo "usage: $0 build-dir source-dir" >&2
	exit 2
fi
build=$(cd "$1" && pwd) || exit 1
src=$(cd "$2" && pwd) || exit 1
sample=$src/examples/sales.txt

scratch=$(mktemp -d "${TMPDIR:-/tmp}/txt2sheet-install.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
trap 'exit 1' HUP INT TERM

failures=0
fail() {
	echo "install-check: FAIL: $*" >&2
	failures=$((failures + 1))
}
pass() {
	echo "install-check: ok: $*"
}

# The build's own binary gives the expected output.
if [ ! -x "$build/txt2sheet" ]; then
	echo "install-check: FAIL: $build/txt2sheet not built" >&2
	exit 1
fi
if ! "$build/txt2sheet" < "$sample" > "$scratch/want"; then
	echo "install-check: FAIL: $build/txt2sheet exits non-zero on $sample" >&2
	exit 1
fi
if ! grep -q '^let ' "$scratch/want" || ! grep -q '^format ' "$scratch/want"; then
	echo "install-check: FAIL: $build/txt2sheet wrote no let or format command for $sample:" >&2
	cat "$scratch/want" >&2
	exit 1
fi

# checkbin WHAT BINARY: the binary converts the sample as the build's does.
checkbin() {
	if [ ! -x "$2" ]; then
		fail "$1: no executable $2"
		return
	fi
	if ! "$2" < "$sample" > "$scratch/got" 2> "$scratch/goterr"; then
		fail "$1: $2 exits non-zero on the sample"
		cat "$scratch/goterr" >&2
		return
	fi
	if ! cmp -s "$scratch/want" "$scratch/got"; then
		fail "$1: $2 writes other output than $build/txt2sheet"
		diff "$scratch/want" "$scratch/got" >&2
		return
	fi
	if [ -s "$scratch/goterr" ]; then
		fail "$1: $2 writes diagnostics on the sample"
		cat "$scratch/goterr" >&2
		return
	fi
	pass "$1: $2 converts the sample"
}

# checkpage WHAT MAN1DIR: the page is there, plain or gzipped, and renders
# without a warning.
checkpage() {
	if [ -f "$2/txt2sheet.1.gz" ]; then
		page=$2/txt2sheet.1.gz
		if ! gzip -dc "$page" > "$scratch/page.1"; then
			fail "$1: $page is no gzip file"
			return
		fi
	elif [ -f "$2/txt2sheet.1" ]; then
		page=$2/txt2sheet.1
		cp "$page" "$scratch/page.1"
	else
		fail "$1: no manual page in $2"
		ls -l "$2" >&2 2>/dev/null
		return
	fi
	if command -v groff >/dev/null 2>&1; then
		out=$(groff -mdoc -Tutf8 -ww -z "$scratch/page.1" 2>&1)
		if [ -n "$out" ]; then
			fail "$1: $page does not render cleanly:"
			printf '%s\n' "$out" >&2
			return
		fi
	fi
	pass "$1: manual page $page"
}

# checkdoc WHAT ROOT: the files policy wants in /usr/share/doc/txt2sheet.
# The copyright file is made from LICENSE at package time: its licence
# text, with the format's indent taken off, is LICENSE's, and so is the
# holder.
checkdoc() {
	doc=$2/usr/share/doc/txt2sheet
	if [ ! -f "$doc/copyright" ]; then
		fail "$1: no $doc/copyright"
	else
		sed -n '/^Copyright (c) /,$p' "$src/LICENSE" | sed '1,2d' > "$scratch/licence.want"
		sed '1,/^License: /d; s/^ //; s/^\.$//' "$doc/copyright" > "$scratch/licence.got"
		holder=$(sed -n 's/^Copyright (c) \(.*\), \(.*\)/\1 \2/p' "$src/LICENSE")
		if ! head -n 1 "$doc/copyright" |
			grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/'; then
			fail "$1: $doc/copyright is not in the machine-readable format"
		elif ! grep -qx "Copyright: $holder" "$doc/copyright"; then
			fail "$1: $doc/copyright does not name '$holder' as in LICENSE"
		elif [ ! -s "$scratch/licence.want" ] || ! cmp -s "$scratch/licence.want" "$scratch/licence.got"; then
			fail "$1: the licence in $doc/copyright is not the one of LICENSE"
			diff "$scratch/licence.want" "$scratch/licence.got" >&2
		else
			pass "$1: copyright file"
		fi
	fi
	log=$doc/changelog.Debian.gz
	if [ ! -f "$log" ]; then
		fail "$1: no $log"
		return
	fi
	# gzip -n leaves the header's flags and time stamp at zero.
	if ! gzip -t "$log" 2>/dev/null; then
		fail "$1: $log is no gzip file"
		return
	fi
	header=$(od -An -tx1 -j3 -N5 "$log" | tr -d ' \n')
	[ "$header" = 0000000000 ] || fail "$1: $log keeps a name or a time stamp (not gzip -n)"
	top=$(gzip -dc "$log" | sed -n '1s/^txt2sheet (\([^)]*\)) .*/\1/p')
	if [ "$top" != "$(field Version)" ]; then
		fail "$1: $log begins with version '$top', the package is $(field Version)"
	else
		pass "$1: $log, latest entry $top"
	fi
}

# checkharden WHAT BINARY: built with immediate binding, a read-only GOT,
# the stack protector and fortified libc calls.
checkharden() {
	if [ "$harden" = OFF ]; then
		echo "install-check: skipped: hardening of $2 (built with TXT2SHEET_HARDEN=OFF)"
		return
	fi
	if ! command -v readelf >/dev/null 2>&1; then
		echo "install-check: skipped: hardening of $2 (readelf is not installed)"
		return
	fi
	missing=
	readelf -lW "$2" | grep -q GNU_RELRO || missing="$missing relro"
	readelf -dW "$2" | grep -Eq 'BIND_NOW|Flags:.* NOW' || missing="$missing bindnow"
	syms=$(readelf --dyn-syms -W "$2")
	echo "$syms" | grep -q '__stack_chk_fail' || missing="$missing stack-protector"
	echo "$syms" | grep -v '__stack_chk_fail' | grep -Eq '__[a-z]+_chk' || missing="$missing fortify"
	if [ -n "$missing" ]; then
		fail "$1: $2 is not hardened:$missing"
	else
		pass "$1: $2 is hardened (relro, bindnow, stack protector, fortify)"
	fi
}

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$build/CMakeCache.txt")
harden=$(sed -n 's/^TXT2SHEET_HARDEN:[A-Z]*=//p' "$build/CMakeCache.txt")
[ -n "$prefix" ] || prefix=/usr/local

# 1a. DESTDIR with the configured prefix.
dest=$scratch/destdir
if DESTDIR=$dest cmake --install "$build" > "$scratch/install.log" 2>&1; then
	checkbin "DESTDIR install" "$dest$prefix/bin/txt2sheet"
	checkpage "DESTDIR install" "$dest$prefix/share/man/man1"
	stray=$(cd "$dest" && find . -type f ! -path ".$prefix/*")
	[ -z "$stray" ] || fail "DESTDIR install: files outside $prefix: $stray"
else
	fail "DESTDIR=$dest cmake --install $build"
	cat "$scratch/install.log" >&2
fi

# 1b. Another prefix, given at install time.
alt=$scratch/prefix
if cmake --install "$build" --prefix "$alt" > "$scratch/install.log" 2>&1; then
	checkbin "--prefix install" "$alt/bin/txt2sheet"
	checkpage "--prefix install" "$alt/share/man/man1"
else
	fail "cmake --install $build --prefix $alt"
	cat "$scratch/install.log" >&2
fi

# 2. The Debian package.
if ! command -v dpkg-deb >/dev/null 2>&1; then
	fail "dpkg-deb not found: cannot check the package"
	exit 1
fi
pkgdir=$scratch/pkg
if ! (cd "$build" && cpack -G DEB -B "$pkgdir") > "$scratch/cpack.log" 2>&1; then
	fail "cpack -G DEB in $build"
	cat "$scratch/cpack.log" >&2
	exit 1
fi
set -- "$pkgdir"/txt2sheet_*.deb
if [ $# -ne 1 ] || [ ! -f "$1" ]; then
	fail "cpack made no single txt2sheet_*.deb in $pkgdir"
	ls -l "$pkgdir" >&2
	exit 1
fi
deb=$1
pass "package $(basename "$deb")"

echo "install-check: dpkg-deb -I $(basename "$deb"):"
dpkg-deb -I "$deb" || fail "dpkg-deb -I $deb"
echo "install-check: dpkg-deb -c $(basename "$deb"):"
dpkg-deb -c "$deb" || fail "dpkg-deb -c $deb"

field() {
	dpkg-deb -f "$deb" "$1"
}
[ "$(field Package)" = txt2sheet ] || fail "control: Package is '$(field Package)'"
[ "$(field Section)" = utils ] || fail "control: Section is '$(field Section)'"
[ -n "$(field Version)" ] || fail "control: no Version"
[ -n "$(field Maintainer)" ] || fail "control: no Maintainer"
[ -n "$(field Description)" ] || fail "control: no Description"
depends=$(field Depends)
case $depends in
*libc6*) ;;
*) fail "control: Depends '$depends' names no libc6" ;;
esac

# Every dependency (the first of any alternatives) is installed here in a
# version that satisfies it, so `dpkg -i` on a machine like this one works.
echo "$depends" | tr ',' '\n' | while IFS= read -r dep; do
	dep=$(echo "${dep%%|*}" | sed 's/^ *//; s/ *$//')
	[ -n "$dep" ] || continue
	name=${dep%% *}
	name=${name%%(*}
	have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null | head -n 1)
	if [ -z "$have" ]; then
		echo "install-check: FAIL: dependency $name is not installed here" >&2
		exit 1
	fi
	case $dep in
	*\(*\)*)
		rel=$(echo "$dep" | sed 's/.*(\(.*\)).*/\1/')
		op=${rel%% *}
		ver=${rel#* }
		case $op in
		'>=') op=ge ;; '<=') op=le ;; '>>') op=gt ;; '<<') op=lt ;; '=') op=eq ;;
		esac
		if ! dpkg --compare-versions "$have" "$op" "$ver"; then
			echo "install-check: FAIL: dependency $dep, but $have is installed" >&2
			exit 1
		fi
		;;
	esac
done || fail "control: Depends '$depends' is not met on this machine"

# 2a. Unpacked with dpkg-deb -x.
root=$scratch/unpacked
if dpkg-deb -x "$deb" "$root"; then
	checkbin "dpkg-deb -x" "$root/usr/bin/txt2sheet"
	checkpage "dpkg-deb -x" "$root/usr/share/man/man1"
	checkdoc "dpkg-deb -x" "$root"
	checkharden "dpkg-deb -x" "$root/usr/bin/txt2sheet"
else
	fail "dpkg-deb -x $deb $root"
fi

# 2b. Installed with dpkg into a scratch root with a database of its own.
# The scratch database knows none of the system's packages, so the
# dependencies checked above are forced there.
root=$scratch/dpkgroot
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/log"
: > "$root/var/lib/dpkg/status"
if dpkg --root="$root" --log="$root/var/log/dpkg.log" --force-depends \
	-i "$deb" > "$scratch/dpkg.log" 2>&1 &&
	dpkg --root="$root" -s txt2sheet 2>/dev/null | grep -q '^Status: install ok installed'; then
	checkbin "dpkg --root" "$root/usr/bin/txt2sheet"
	checkpage "dpkg --root" "$root/usr/share/man/man1"
	if ! dpkg --root="$root" --log="$root/var/log/dpkg.log" -r txt2sheet > "$scratch/dpkg.log" 2>&1 ||
		[ -e "$root/usr/bin/txt2sheet" ]; then
		fail "dpkg --root -r txt2sheet leaves the binary or fails"
		cat "$scratch/dpkg.log" >&2
	else
		pass "dpkg --root: package removed cleanly"
	fi
else
	fail "dpkg --root=$root -i $deb"
	cat "$scratch/dpkg.log" >&2
fi

# 2c. lintian, where it is installed. The tag left out asks the first
# changelog entry to close the archive's bug that announced the package,
# which a package built outside the archive does not have.
if command -v lintian >/dev/null 2>&1; then
	echo "install-check: lintian $(basename "$deb"):"
	if lintian --fail-on error --display-info --suppress-tags initial-upload-closes-no-bugs \
		"$deb" > "$scratch/lintian.log" 2>&1; then
		cat "$scratch/lintian.log"
		pass "lintian reports no error"
	else
		cat "$scratch/lintian.log" >&2
		fail "lintian reports errors on $(basename "$deb")"
	fi
else
	echo "install-check: skipped: lintian is not installed, the package is not linted"
fi

if [ $failures -ne 0 ]; then
	echo "install-check: $failures check(s) failed" >&2
	exit 1
fi
echo "install-check: all checks passed"
