#!/usr/bin/env bash
# Makes a root tree of Debian unstable (sid) for one architecture, holding CPython 3.14 with its
# headers, NumPy, pandas, scikit-learn, pytest and Hypothesis, and prints its path. The packages
# and everything they depend on come from Debian's archive through apt, with a private
# configuration, state and cache (the machine's own apt setup and package database are left
# alone), and are unpacked with dpkg-deb: nothing is installed on the machine and no maintainer
# script runs. The few links that maintainer scripts would make (the merged /usr, the BLAS and
# LAPACK alternatives) are made here.
# The tree's interpreter runs from this machine, without chroot, through the script
# DIR/usr/bin/python3.14-host: on amd64 under the tree's own dynamic loader and libraries, on armhf
# under qemu-arm with the tree as its root for the loader and libraries. Being a script beside the
# real interpreter, it is what sys.executable names, so subprocesses of the suite run the same way,
# and the interpreter finds its standard library and site packages in the tree.
# Reuses an earlier tree made from the same package list.
# Usage: scripts/debian_root.sh ARCH [DIR]   (ARCH: amd64 or armhf; DIR default:
#        ~/.cache/vexilo/sid-ARCH, so that later runs on the same machine reuse it)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?Debian architecture (amd64 or armhf)}
tree=${2:-${XDG_CACHE_HOME:-$HOME/.cache}/vexilo/sid-$arch}
mkdir -p "$(dirname "$tree")"
tree="$(cd "$(dirname "$tree")" && pwd)/$(basename "$tree")"
packages=(python3.14 libpython3.14-dev python3-numpy python3-pandas python3-sklearn python3-pytest
    python3-hypothesis libstdc++6)
case "$arch" in
    amd64) triplet=x86_64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    *)
        echo "unsupported architecture: $arch" >&2
        exit 2
        ;;
esac
stamp="$tree/.vexilo-packages"
wanted="sid $arch ${packages[*]}"

# Written on every call, so that a cached tree gets the current wrapper.
write_wrapper() {
    local root=$1 run
    if [ "$arch" = amd64 ]; then
        run=$(printf '%q --library-path %q --argv0' "$root/usr/lib64/ld-linux-x86-64.so.2" \
            "$root/usr/lib/$triplet")
    else
        run="qemu-arm -L $(printf '%q' "$root") -0"
    fi
    printf '#!/bin/sh\nexec %s "$0" %q "$@"\n' "$run" "$root/usr/bin/python3.14" \
        >"$root/usr/bin/python3.14-host"
    chmod +x "$root/usr/bin/python3.14-host"
}

if [ -x "$tree/usr/bin/python3.14" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$wanted" ]; then
    write_wrapper "$tree"
    echo "$tree"
    exit 0
fi
[ "$arch" = amd64 ] || scripts/system_deps.sh qemu-user >&2
scripts/system_deps.sh debian-archive-keyring >&2

work="$tree.apt"
rm -rf "$work" "$tree.new"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/preferences.d" "$tree.new"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
echo "deb [signed-by=$keyring] http://deb.debian.org/debian sid main" >"$work/sources.list"
: >"$work/status"
# An empty package database makes apt fetch every dependency; the architecture options make it
# fetch them for ARCH only, whatever the machine is.
apt_options=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::Etc::preferences=$work/preferences" -o "Dir::Etc::preferencesparts=$work/preferences.d"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
    -o "Dir::State::status=$work/status" -o "APT::Architecture=$arch"
    -o "APT::Architectures::=$arch" -o "APT::Install-Recommends=false"
    -o "APT::Install-Suggests=false" -o "Debug::NoLocking=true")
echo "fetching Debian sid $arch packages for a root tree at $tree" >&2
apt-get "${apt_options[@]}" update -qq >&2
apt-get "${apt_options[@]}" install -y -qq --download-only "${packages[@]}" >&2
debs=("$work"/cache/archives/*.deb)
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$tree.new"
done

# The merged /usr: the loader and libraries are found through /lib as well as /usr/lib.
for dir in bin sbin lib lib64; do
    if [ -d "$tree.new/usr/$dir" ] && [ ! -e "$tree.new/$dir" ]; then
        ln -s "usr/$dir" "$tree.new/$dir"
    fi
done
# NumPy links libblas.so.3 and liblapack.so.3, which the alternatives system would point at the
# reference implementations that the packages unpack into their own folders.
for lib in "$tree.new"/usr/lib/*/blas/libblas.so.3 "$tree.new"/usr/lib/*/lapack/liblapack.so.3; do
    [ -e "$lib" ] || continue
    link="$(dirname "$(dirname "$lib")")/$(basename "$lib")"
    [ -e "$link" ] || ln -s "$(basename "$(dirname "$lib")")/$(basename "$lib")" "$link"
done
echo "$wanted" >"$tree.new/.vexilo-packages"
rm -rf "$tree" "$work"
mv "$tree.new" "$tree"
write_wrapper "$tree"
echo "root tree: $tree (${#debs[@]} packages)" >&2
echo "$tree"
