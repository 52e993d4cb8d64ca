#!/usr/bin/env bash
# Installs the Debian packages that building and testing sysgrab need, and
# only those that are missing. Usage: scripts/setup.sh [native] [wine] [vm] [bench]
# (no argument: all of them).
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(native wine vm bench)

need=()
want() {
	local p
	for p in "$@"; do
		case " ${need[*]} " in *" $p "*) continue ;; esac
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || need+=("$p")
	done
}

for g in "${groups[@]}"; do
	case "$g" in
	native)
		want cmake g++ make python3 xorriso clang-format
		# The Linux release: the package's dependencies (dpkg-shlibdeps),
		# Debian's checks of the package and of the manual page, and the
		# page's SEE ALSO, sg_dd(8), for those checks to find.
		want dpkg-dev lintian mandoc sg3-utils
		;;
	bench) want valgrind time binutils xorriso ;;
	wine)
		# wine32 is an i386 package: the architecture must be known first.
		if ! dpkg --print-foreign-architectures | grep -qx i386; then
			SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
			$SUDO dpkg --add-architecture i386
		fi
		want cmake make python3 zip g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 wine wine32:i386
		# The 64-bit build and Wine run the suite where 32-bit x86 code cannot run.
		want g++-mingw-w64-x86-64-win32 wine64
		# Where it cannot, a QEMU guest with Debian's kernel runs the 32-bit suite.
		want qemu-system-x86 busybox-static cpio kmod
		# The SPTI layer on QEMU's drives in that guest: disc images and
		# peers reading the same blocks.
		want xorriso sg3-utils
		;;
	vm) want qemu-system-x86 busybox-static sg3-utils xorriso cpio kmod python3 ;;
	*) echo "setup.sh: unknown group '$g'" >&2; exit 2 ;;
	esac
done

# Packages the tests can do without, and what they then do without each:
# apt may be unable to install one where the others install (wine32:i386
# needs i386 libraries of the very versions of the amd64 ones, which a
# mirror's i386 indexes can lag behind).
without() {
	case "$1" in
	wine32:i386) echo "the 32-bit Windows program's Wine tests are skipped; the win64 build runs the Wine suite" ;;
	*) return 1 ;;
	esac
}

# apt_install PACKAGE...: apt-get install; where it fails, apt's reason in
# $said: the first dependencies it could not meet and its errors, or the end
# of what it printed where it gave no error line.
apt_install() {
	local out errors
	out=$(DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "$@" 2>&1) && return 0
	errors=$(printf '%s\n' "$out" | grep -E '^(E|W): ') || errors=$(printf '%s\n' "$out" | tail -n 8)
	said=$(printf '%s\n' "$out" | grep 'Depends: ' | head -n 8)
	said=${said:+$said$'\n'}$errors
	return 1
}

if [ ${#need[@]} -gt 0 ]; then
	echo "setup.sh: installing ${need[*]}"
	SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
	# A mirror part-way through a sync serves indexes that do not match
	# their Release file for a few minutes: try again after a pause, then
	# install from the indexes apt has.
	stale=
	for try in 1 2 3 4; do
		log=$($SUDO apt-get update -qq 2>&1) && break
		if [ "$try" -eq 4 ]; then
			printf '%s\n' "$log" >&2
			failed=$(printf '%s\n' "$log" | sed -n '/Failed to fetch /{s/.*\(Failed to fetch [^ ]*\).*/\1/p;q}')
			echo "setup.sh: apt-get update failed 4 times (${failed:-see above}): the package mirror may be mid-sync; installing from the indexes apt has" >&2
			stale="; apt-get update failed above: try again in a few minutes"
		else
			sleep $((try * 20))
		fi
	done
	# All at once; where that fails, all but those the tests can do
	# without, then each of those on its own.
	if ! apt_install "${need[@]}"; then
		rest=() spare=()
		for p in "${need[@]}"; do
			if without "$p" >/dev/null; then spare+=("$p"); else rest+=("$p"); fi
		done
		if [ ${#spare[@]} -eq 0 ] || { [ ${#rest[@]} -gt 0 ] && ! apt_install "${rest[@]}"; }; then
			printf '%s\n' "$said" >&2
			echo "setup.sh: could not install ${rest[*]}${stale}" >&2
			exit 1
		fi
		for p in "${spare[@]}"; do
			# Alone, unless it was all there was to install.
			if [ "${need[*]}" != "$p" ] && apt_install "$p"; then continue; fi
			printf '%s\n' "$said" >&2
			echo "setup.sh: left out $p (apt's reason above): $(without "$p")${stale}" >&2
		done
	fi
fi

# The guests' kernel (vm, and wine's 32-bit guest): Debian's package,
# unpacked into a cache, not installed.
for g in "${groups[@]}"; do
	if [ "$g" = vm ] || [ "$g" = wine ]; then
		"$(dirname "$0")/../tests/vm/kernel.sh" >/dev/null
		break
	fi
done
