#!/usr/bin/env bash
# Builds libnghttp2 (HTTP/2) for the Windows program from Debian 12's own source package, as a
# static library, and prints the folder that holds it (include/ and lib/), cached as
# scripts/debian-source.sh says.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=debian-source.sh
. "$(dirname "$0")/debian-source.sh"

# The source package's version, pinned so that every build links the same code; a security
# update that retires it from the archive makes the fetch fail here, naming the version.
version=1.52.0-1+deb12u3
cc=x86_64-w64-mingw32-gcc-posix
# The library alone, static, for 64-bit Windows: no programs, examples, tests or documentation.
# Packages are looked for among the cross compiler's alone, so none of this machine's own
# libraries is taken for a Windows one.
configure=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix
  -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_FIND_ROOT_PATH=/usr/x86_64-w64-mingw32 -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY
  -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY
  -DENABLE_LIB_ONLY=ON -DENABLE_STATIC_LIB=ON -DENABLE_SHARED_LIB=OFF -DENABLE_DOC=OFF
  -DENABLE_FAILMALLOC=OFF -DCMAKE_DISABLE_FIND_PACKAGE_CUnit=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON
  # Its clock is Windows' own GetTickCount64: this version, finding clock_gettime as well (in
  # MinGW's threads library), would call a fallback it never compiled.
  -DHAVE_CLOCK_GETTIME=OFF)
debian_source_cached nghttp2 nghttp2 "$version" "$cc" "${configure[@]}"
debian_source_fetch

# Told warnings and failures alone, as OpenSSL's build is.
cmake -S "$src" -B "$work/build" "${configure[@]}" --log-level=WARNING -DCMAKE_RULE_MESSAGES=OFF >&2
cmake --build "$work/build" --target nghttp2_static -j"$(nproc)" -- -s >&2

install_nghttp2() {
  mkdir -p "$1/include/nghttp2" "$1/lib"
  cp "$src/lib/includes/nghttp2/nghttp2.h" "$work/build/lib/includes/nghttp2/nghttp2ver.h" \
    "$1/include/nghttp2/"
  cp "$work/build/lib/libnghttp2.a" "$1/lib/"
}
debian_source_keep install_nghttp2
