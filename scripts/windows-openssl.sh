#!/usr/bin/env bash
# Builds OpenSSL 3 for the Windows program from Debian 12's own source package, as static
# libraries, and prints the folder that holds them (include/ and lib/). The result is kept
# outside the clone, keyed by the package's version, the cross compiler and the configuration,
# so only the first build of a machine pays for it: $CORVANE_CACHE, else /var/cache/corvane as
# root, else $XDG_CACHE_HOME/corvane. Progress goes to standard error; standard output is the
# folder alone.
set -euo pipefail

# The source package's version, pinned so that every build links the same code; a security
# update that retires it from the archive makes the fetch fail here, naming the version.
version=3.0.20-1~deb12u2
cc=x86_64-w64-mingw32-gcc-posix

if [[ -n "${CORVANE_CACHE:-}" ]]; then
  cache="$CORVANE_CACHE"
elif [[ $(id -u) -eq 0 ]]; then
  cache=/var/cache/corvane
else
  cache="${XDG_CACHE_HOME:-$HOME/.cache}/corvane"
fi
# Static libraries for 64-bit Windows; no command-line tool, tests, engines or legacy providers.
configure=(mingw64 --cross-compile-prefix= CC="$cc" AR=x86_64-w64-mingw32-ar
  RANLIB=x86_64-w64-mingw32-ranlib RC=x86_64-w64-mingw32-windres
  no-shared no-module no-engine no-legacy no-tests no-ui-console no-dso no-capieng)
# The key: the version, the compiler (its target, version and binary) and how it is configured.
toolchain=$("$cc" -dumpmachine)-$("$cc" -dumpversion)-$(sha256sum "$(command -v "$cc")" | cut -c1-12)
recipe=$(printf '%s\n' "${configure[@]}" | sha256sum | cut -c1-8)
prefix="$cache/openssl-$version-$toolchain-$recipe"
echo "OpenSSL for Windows: Debian source package openssl $version" >&2
if [[ -f "$prefix/.complete" ]]; then
  echo "$prefix"
  exit 0
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-openssl.XXXXXX")
trap 'rm -rf "$work"' EXIT

# An apt of our own that knows the source lines of the machine's Debian archives, so the
# machine's own configuration is left as it was.
mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources.list.d"
for sources in /etc/apt/sources.list.d/*.sources; do
  sed 's/^Types:.*/Types: deb-src/' "$sources" >"$work/apt/sources.list.d/$(basename "$sources")"
done
if [[ -f /etc/apt/sources.list ]]; then
  sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/apt/sources.list.d/main.list"
fi
apt_options=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
  -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
  -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
apt-get "${apt_options[@]}" update -qq >&2
(cd "$work" && apt-get "${apt_options[@]}" source -qq "openssl=$version" >&2)
src=$(find "$work" -maxdepth 1 -type d -name 'openssl-*' | head -n1)

# The folders compiled in (where OpenSSL would look for its configuration and modules) are the
# ones only an administrator can write: a folder a user could create, such as C:\usr\local\ssl,
# would let anyone on the machine hand the program a configuration of their own.
windir="C:/Program Files/Common Files/SSL"
start=$SECONDS
(cd "$src" &&
  ./Configure "${configure[@]}" >&2 &&
  make -s -j"$(nproc)" OPENSSLDIR="$windir" ENGINESDIR="$windir/engines" \
    MODULESDIR="$windir/modules" build_libs >&2)
echo "OpenSSL for Windows built in $((SECONDS - start)) s" >&2

# Put in place whole, by a rename in the cache's own folder, so that a build running beside this
# one sees the folder complete or not at all.
mkdir -p "$cache"
out=$(mktemp -d "$cache/.openssl.XXXXXX")
mkdir -p "$out/include" "$out/lib"
cp -a "$src/include/openssl" "$out/include/"
cp "$src/libssl.a" "$src/libcrypto.a" "$out/lib/"
echo "$version" >"$out/.complete"
chmod 755 "$out"
if ! mv -T "$out" "$prefix" 2>/dev/null; then
  rm -rf "$out"  # another build put it there first
fi
echo "$prefix"
