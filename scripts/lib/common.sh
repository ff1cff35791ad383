# Shared by the project's scripts: paths and the environment every Wine process gets.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
CACHE="$ROOT/.cache"
DEPS="$CACHE/deps"
WINE_TEMPLATES="$CACHE/wine"
LOCALE_DIR="$CACHE/locale"
WINE64=/usr/lib/wine/wine64

LIBYAML_TARBALL=libyaml_0.2.5.orig.tar.gz
LIBYAML_SHA256=fa240dbf262be053f3898006d502d514936c818e422afdcf33921c63bed9bf2e

say() { printf '%s\n' "$*"; }

# wine_env PREFIX TMPDIR: prints the environment for Wine processes in PREFIX. wineserver keeps
# its socket under TMPDIR, so each prefix gets its own and cases never share a server.
wine_env() {
  printf '%s\n' \
    "WINEPREFIX=$1" \
    "WINEARCH=win64" \
    "WINEDEBUG=-all" \
    "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d" \
    "WINELOADER=$WINE64" \
    "TMPDIR=$2"
}

# in_wine PREFIX TMPDIR CMD...: runs CMD with that prefix's environment.
in_wine() {
  local prefix=$1 tmp=$2
  shift 2
  mkdir -p "$tmp"
  local -a vars
  mapfile -t vars < <(wine_env "$prefix" "$tmp")
  env "${vars[@]}" "$@"
}

# mount_prefix_overlay TEMPLATE RUN: mounts a private writable view of the prefix TEMPLATE at
# RUN/prefix (its changes land in RUN/prefix-upper; the template is never written). Only inside a
# private mount namespace (unshare --mount): the mount must end with its run, even a killed one.
mount_prefix_overlay() {
  mkdir -p "$2/prefix" "$2/prefix-upper" "$2/prefix-work" &&
    mount -t overlay brimora-prefix -o "lowerdir=$1,upperdir=$2/prefix-upper,workdir=$2/prefix-work" "$2/prefix"
}
