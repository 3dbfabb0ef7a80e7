# shellcheck shell=bash
# Sourced by the scripts that build a static library for the Windows program from one of Debian
# 12's own source packages (scripts/windows-openssl.sh, scripts/windows-nghttp2.sh). A build is
# kept outside the clone, keyed by the package's version, the cross compiler and the
# configuration, so only the first build of a machine pays for it: $CORVANE_CACHE, else
# /var/cache/corvane as root, else $XDG_CACHE_HOME/corvane. Progress goes to standard error;
# standard output is the folder alone.

# Names the cache folder ($prefix) of source package $2 at version $3, built with compiler $4 and
# the settings that follow; $1 is how progress names it. A folder built already is printed and
# ends the script.
debian_source_cached() {
  debian_label=$1 debian_package=$2 debian_version=$3
  local cc=$4 toolchain recipe
  shift 4
  if [[ -n "${CORVANE_CACHE:-}" ]]; then
    debian_cache="$CORVANE_CACHE"
  elif [[ $(id -u) -eq 0 ]]; then
    debian_cache=/var/cache/corvane
  else
    debian_cache="${XDG_CACHE_HOME:-$HOME/.cache}/corvane"
  fi
  # The key: the version, the compiler (its target, version and binary) and the settings.
  toolchain=$("$cc" -dumpmachine)-$("$cc" -dumpversion)-$(sha256sum "$(command -v "$cc")" | cut -c1-12)
  recipe=$(printf '%s\n' "$@" | sha256sum | cut -c1-8)
  prefix="$debian_cache/$debian_package-$debian_version-$toolchain-$recipe"
  echo "$debian_label for Windows: Debian source package $debian_package $debian_version" >&2
  if [[ -f "$prefix/.complete" ]]; then
    echo "$prefix"
    exit 0
  fi
}

# Fetches and unpacks the source package into a folder removed when the script ends ($work),
# and names the unpacked tree ($src).
debian_source_fetch() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-$debian_package.XXXXXX")
  trap 'rm -rf "$work" "${debian_out:-}"' EXIT
  # An apt of our own that knows the source lines of the machine's Debian archives, so the
  # machine's own configuration is left as it was.
  mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/sources.list.d"
  for sources in /etc/apt/sources.list.d/*.sources; do
    sed 's/^Types:.*/Types: deb-src/' "$sources" >"$work/apt/sources.list.d/$(basename "$sources")"
  done
  if [[ -f /etc/apt/sources.list ]]; then
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >"$work/apt/sources.list.d/main.list"
  fi
  local apt_options=(-o Dir::Etc::SourceList=/dev/null
    -o "Dir::Etc::SourceParts=$work/apt/sources.list.d"
    -o "Dir::State::Lists=$work/apt/lists" -o "Dir::Cache=$work/apt/cache"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root)
  apt-get "${apt_options[@]}" update -qq >&2
  (cd "$work" && apt-get "${apt_options[@]}" source -qq "$debian_package=$debian_version" >&2)
  # shellcheck disable=SC2034  # read by the script that sources this one
  src=$(find "$work" -maxdepth 1 -type d -name "$debian_package-*" | head -n1)
  debian_start=$SECONDS
}

# Runs the command given with a new folder as its last word, for it to fill with include/ and
# lib/, then puts that folder in place as $prefix and prints it. The folder is made in the
# cache's own folder and moved by a rename, so that a build running beside this one sees it
# complete or not at all.
debian_source_keep() {
  echo "$debian_label for Windows built in $((SECONDS - debian_start)) s" >&2
  mkdir -p "$debian_cache"
  debian_out=$(mktemp -d "$debian_cache/.$debian_package.XXXXXX")
  "$@" "$debian_out"
  echo "$debian_version" >"$debian_out/.complete"
  chmod 755 "$debian_out"
  mv -T "$debian_out" "$prefix" 2>/dev/null || true  # else another build put it there first
  echo "$prefix"
}
