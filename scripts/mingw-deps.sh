#!/usr/bin/env bash
# Builds the libraries that the Windows build needs and Debian ships for Linux
# only, liblzma and libdivsufsort, as static MinGW libraries for i686 and x86-64
# into build/deps/<triplet>/{include,lib}. Each is built from Debian's source
# package of the same version as the installed -dev package, with Debian's
# patches, by the library's own build system.
#
# The sources come through a private apt configuration under build/deps/apt:
# its own source list (deb-src entries for the suites the machine's own Debian
# entries use), package lists and cache, checked against debian-archive-keyring.
# The machine's apt set-up is not touched, and no root is needed.
#
# Does nothing, quietly, when build/deps/<triplet>/stamp already names these
# versions. VELMORA_DEPS_SOURCE_VERSIONS="xz-utils=VERSION ..." builds another
# version of a source package than the installed -dev package's, on purpose.
set -eEuo pipefail
cd "$(dirname "$0")/.."
source scripts/apt.sh
root=$PWD
deps=$root/build/deps
apt=$deps/apt
log=$deps/build.log
triplets=(i686-w64-mingw32 x86_64-w64-mingw32)
# Each library: its source package and the host's -dev package of it.
libs=(xz-utils:liblzma-dev libdivsufsort:libdivsufsort-dev)

arch=$(dpkg --print-architecture)
declare -A version
for lib in "${libs[@]}"; do
  src=${lib%%:*} dev=${lib#*:}
  version[$src]=$(dpkg-query -W -f='${source:Version}' "$dev:$arch" 2>/dev/null) ||
    { echo "mingw-deps: $dev is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
done
declare -A pinned
for pin in ${VELMORA_DEPS_SOURCE_VERSIONS:-}; do
  pinned[${pin%%=*}]=${pin#*=}
  version[${pin%%=*}]=${pin#*=}
done

# What a triplet's build depends on: the versions, this recipe and the compiler.
recipe=$(cat scripts/mingw-deps.sh cmake/mingw-common.cmake cmake/mingw-i686.cmake cmake/mingw-x86_64.cmake | sha256sum | cut -c1-16)
stamp_for() {
  local src
  for lib in "${libs[@]}"; do src=${lib%%:*}; echo "$src ${version[$src]}"; done
  echo "recipe $recipe"
  local cpu=${1%%-*}
  echo "compiler $(dpkg-query -W -f='${Version}' "gcc-mingw-w64-${cpu//_/-}-posix" 2>/dev/null)"
}

todo=()
for t in "${triplets[@]}"; do
  [ "$(cat "$deps/$t/stamp" 2>/dev/null)" = "$(stamp_for "$t")" ] || todo+=("$t")
done
[ ${#todo[@]} -eq 0 ] && exit 0

mkdir -p "$deps"
exec 9>"$deps/.lock"
flock 9
: >"$log"
fail() {
  echo "mingw-deps: $*" >&2
  echo "mingw-deps: the end of $log:" >&2
  tail -n 30 "$log" | sed 's/^/  /' >&2
  exit 1
}
trap 'fail "failed (line $LINENO)"' ERR

summary=
for lib in "${libs[@]}"; do summary+=" ${lib%%:*} ${version[${lib%%:*}]},"; done
echo "mingw-deps: building${summary%,} for ${todo[*]} (log: build/deps/build.log)"
for src in "${!pinned[@]}"; do
  echo "mingw-deps: warning: $src ${pinned[$src]} is pinned by VELMORA_DEPS_SOURCE_VERSIONS," \
       "not the installed -dev package's version" >&2
done

# The private apt configuration: deb-src entries for the suites of the
# machine's own Debian entries (release, updates, security), same mirrors.
entries=()
apt_ready=
private_apt() {
  [ -n "$apt_ready" ] && return 0
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mapfile -t entries < <(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' |
    awk -v c="$codename" '$3 == "main" && ($2 == c || $2 == c "-updates" || $2 == c "-security") {
      rank = $2 == c ? 1 : $2 == c "-updates" ? 2 : 3; print rank, $1, $2 }' |
    sort -u | cut -d' ' -f2-)
  [ ${#entries[@]} -gt 0 ] || fail "the machine's apt sources name no Debian $codename main entry to take sources from"
  rm -rf "$apt"
  mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
  local entry
  for entry in "${entries[@]}"; do
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $entry main"
  done >"$apt/sources.list"
  # Read after the machine's apt.conf.d, so the clearing of its hooks holds:
  # they act on the machine's own cache and services.
  cat >"$apt/apt.conf" <<EOF
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/sources.list.d";
Dir::State::Lists "$apt/lists";
Dir::Cache "$apt/cache";
Dir::Cache::pkgcache "";
Dir::Cache::srcpkgcache "";
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear DPkg::Pre-Invoke;
#clear DPkg::Post-Invoke;
EOF
  echo "== apt-get update (private)" >>"$log"
  # A suite whose list still fails is tried anyway by fetch, which goes on to
  # the next suite.
  apt_update_retrying mingw-deps "$log" apt-get -c "$apt/apt.conf" -q update
  apt_ready=1
}

# Fetches and unpacks (with Debian's patches) one source package version once,
# into build/deps/src/<package>_<version>. A version may be listed in more than
# one suite, so each suite is tried in turn until one delivers its files.
fetch() {
  local src=$1 ver=$2 dir=$deps/src/$1_$2 entry
  [ -f "$dir/.complete" ] && return 0
  private_apt
  for entry in "${entries[@]}"; do
    rm -rf "$dir"
    mkdir -p "$dir"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $entry main" >"$apt/one.list"
    echo "== apt-get source $src=$ver from $entry" >>"$log"
    if (cd "$dir" && apt-get -c "$apt/apt.conf" -o Dir::Etc::SourceList="$apt/one.list" -q \
          source --only-source "$src=$ver") >>"$log" 2>&1; then
      touch "$dir/.complete"
      return 0
    fi
  done
  rm -rf "$dir"
  fail "Debian's source package $src $ver could not be fetched from any of: $(IFS=,; echo "${entries[*]}")"
}

tree_of() { find "$deps/src/$1_$2" -mindepth 1 -maxdepth 1 -type d | head -n 1; }

# At most two jobs: the machines' two cores are shared.
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2

cmake_build() {
  local name=$1 triplet=$2 srcdir=$3; shift 3
  local work=$deps/work/$triplet/$name
  rm -rf "$work"
  echo "== $name for $triplet" >>"$log"
  cmake -S "$srcdir" -B "$work" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-${triplet%%-*}.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps/$triplet" -DCMAKE_INSTALL_LIBDIR=lib \
    "$@" >>"$log" 2>&1
  cmake --build "$work" -j "$jobs" >>"$log" 2>&1
  cmake --install "$work" >>"$log" 2>&1
}

# liblzma by the autotools build that Debian's package uses: the CMake build of
# this version is marked experimental upstream and always builds the xz tools.
# Only the library's own directory is built and installed.
autotools_lzma() {
  local triplet=$1 srcdir=$2
  local work=$deps/work/$triplet/liblzma
  rm -rf "$work"
  mkdir -p "$work"
  echo "== liblzma for $triplet" >>"$log"
  # Every filter, check and match finder, threads (the platform's own on
  # Windows), as in Debian's build, so that the presets' coders agree.
  (cd "$work" && "$srcdir/configure" --host="$triplet" \
      CC="$triplet-gcc-posix" CFLAGS="-O2" \
      --prefix="$deps/$triplet" --libdir="$deps/$triplet/lib" \
      --enable-static --disable-shared --enable-threads \
      --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
      --disable-scripts --disable-doc --disable-nls --disable-dependency-tracking) >>"$log" 2>&1
  make -C "$work/src/liblzma" -j "$jobs" >>"$log" 2>&1
  make -C "$work/src/liblzma" install >>"$log" 2>&1
  # libtool's archive only records build paths; nothing here reads it.
  rm -f "$deps/$triplet/lib/liblzma.la"
}

for lib in "${libs[@]}"; do fetch "${lib%%:*}" "${version[${lib%%:*}]}"; done
# Sources of other versions or of libraries no longer built.
keep=()
for lib in "${libs[@]}"; do keep+=("${lib%%:*}_${version[${lib%%:*}]}"); done
for dir in "$deps"/src/*; do
  [[ " ${keep[*]} " == *" ${dir##*/} "* ]] || rm -rf "$dir"
done
lzma_src=$(tree_of xz-utils "${version[xz-utils]}")
divsufsort_src=$(tree_of libdivsufsort "${version[libdivsufsort]}")

for t in "${todo[@]}"; do
  rm -rf "${deps:?}/$t"
  autotools_lzma "$t" "$lzma_src"
  # With divsufsort64 as Debian builds it; static, so no dllimport in the header.
  cmake_build divsufsort "$t" "$divsufsort_src" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DIVSUFSORT64=ON -DUSE_OPENMP=OFF
  stamp_for "$t" >"$deps/$t/stamp"
  rm -rf "$deps/work/$t"
done
echo "mingw-deps: done"
