#!/usr/bin/env bash
# Fetches Debian's current amd64 kernel package (the one linux-image-amd64
# depends on) with apt-get download and unpacks it with dpkg -x into a cache
# folder, without installing it. Prints the unpacked folder. Idempotent: a
# folder already unpacked is reused.
# Cache: $SYSGRAB_CACHE, else ${XDG_CACHE_HOME:-~/.cache}/sysgrab.
set -euo pipefail

home=${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}
cache=${SYSGRAB_CACHE:-${XDG_CACHE_HOME:-$home/.cache}/sysgrab}
pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
	sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
if [ -z "$pkg" ]; then
	SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
	$SUDO apt-get update -qq
	pkg=$(apt-cache depends linux-image-amd64 |
		sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
fi
[ -n "$pkg" ] || { echo "kernel.sh: no kernel package behind linux-image-amd64" >&2; exit 1; }

dir=$cache/$pkg
if [ ! -f "$dir/.unpacked" ]; then
	mkdir -p "$cache"
	tmp=$(mktemp -d "$cache/fetch.XXXXXX")
	chmod 755 "$tmp" # apt-get download runs as _apt where it can
	trap 'rm -rf "$tmp"' EXIT
	# Stale package lists can name a file the archive no longer has.
	if ! (cd "$tmp" && apt-get download -qq "$pkg" >&2); then
		SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
		$SUDO apt-get update -qq
		(cd "$tmp" && apt-get download -qq "$pkg" >&2)
	fi
	rm -rf "$dir"
	dpkg -x "$tmp"/"$pkg"_*.deb "$dir"
	touch "$dir/.unpacked"
fi
echo "$dir"
