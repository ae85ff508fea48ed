#!/usr/bin/env bash
# Builds a free-threaded CPython (configure --disable-gil) from Debian's source package of that
# version and prints the interpreter's path. Reuses an earlier build in the same prefix.
# Usage: scripts/free_threaded_python.sh [PREFIX] [VERSION]
#        VERSION: 3.13 (the default, from Debian trixie) or 3.14 (from Debian sid);
#        PREFIX default: build/pythonVERSIONt
set -euo pipefail
cd "$(dirname "$0")/.."
version=${2:-3.13}
case "$version" in
    3.13) suite=trixie ;;
    3.14) suite=sid ;;
    *)
        echo "no Debian source known for Python $version" >&2
        exit 2
        ;;
esac
prefix=${1:-build/python${version}t}
prefix=$(mkdir -p "$prefix" && cd "$prefix" && pwd)
python="$prefix/bin/python${version}t"
if [ -x "$python" ] && "$python" -c 'import sys, ssl; sys.exit(sys._is_gil_enabled())' 2>/dev/null; then
    echo "$python"
    exit 0
fi
scripts/system_deps.sh dpkg-dev xz-utils libssl-dev libffi-dev zlib1g-dev libbz2-dev liblzma-dev \
    libsqlite3-dev libreadline-dev >&2

# The source comes from Debian's archive through apt, with a private source list and state so the
# machine's own apt configuration is left alone.
work="$prefix.src"
rm -rf "$work"
mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $suite main" \
    >"$work/sources.list"
apt_options=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
apt-get "${apt_options[@]}" update -qq >&2
(cd "$work" && apt-get "${apt_options[@]}" source --download-only "python$version" >&2)
tarball=$(ls "$work/python${version}_"*.orig.tar.xz | head -n 1)
tar -xJf "$tarball" -C "$work"
source_dir=$(find "$work" -maxdepth 1 -type d -name "Python-$version*" | head -n 1)

echo "building free-threaded CPython from $(basename "$tarball") into $prefix" >&2
(cd "$source_dir" && ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install \
    --disable-test-modules >"$work/configure.log" 2>&1 &&
    make -j"$(nproc)" >"$work/make.log" 2>&1 && make install >"$work/install.log" 2>&1) || {
    echo "CPython build failed; logs in $work" >&2
    tail -n 40 "$work"/*.log >&2
    exit 1
}
"$python" -c 'import sys; sys.exit(sys._is_gil_enabled())' || {
    echo "$python is not free-threaded" >&2
    exit 1
}
rm -rf "$work"
echo "$python"
