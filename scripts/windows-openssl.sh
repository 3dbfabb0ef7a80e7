#!/usr/bin/env bash
# Builds OpenSSL 3 for the Windows program from Debian 12's own source package, as static
# libraries, and prints the folder that holds them (include/ and lib/), cached as
# scripts/debian-source.sh says.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=debian-source.sh
. "$(dirname "$0")/debian-source.sh"

# The source package's version, pinned so that every build links the same code; a security
# update that retires it from the archive makes the fetch fail here, naming the version.
version=3.0.20-1~deb12u2
cc=x86_64-w64-mingw32-gcc-posix
# Static libraries for 64-bit Windows; no command-line tool, tests, engines or legacy providers.
configure=(mingw64 --cross-compile-prefix= CC="$cc" AR=x86_64-w64-mingw32-ar
  RANLIB=x86_64-w64-mingw32-ranlib RC=x86_64-w64-mingw32-windres
  no-shared no-module no-engine no-legacy no-tests no-ui-console no-dso no-capieng)
debian_source_cached OpenSSL openssl "$version" "$cc" "${configure[@]}"
debian_source_fetch

# The folders compiled in (where OpenSSL would look for its configuration and modules) are the
# ones only an administrator can write: a folder a user could create, such as C:\usr\local\ssl,
# would let anyone on the machine hand the program a configuration of their own.
windir="C:/Program Files/Common Files/SSL"
(cd "$src" &&
  ./Configure "${configure[@]}" >&2 &&
  make -s -j"$(nproc)" OPENSSLDIR="$windir" ENGINESDIR="$windir/engines" \
    MODULESDIR="$windir/modules" build_libs >&2)

install_openssl() {
  mkdir -p "$1/include" "$1/lib"
  cp -a "$src/include/openssl" "$1/include/"
  cp "$src/libssl.a" "$src/libcrypto.a" "$1/lib/"
}
debian_source_keep install_openssl
