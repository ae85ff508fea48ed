#!/usr/bin/env bash
# Builds a free-threaded CPython 3.13 (configure --disable-gil) from Debian's python3.13 source
# package and prints the interpreter's path. Reuses an earlier build in the same prefix.
# Usage: scripts/free_threaded_python.sh [PREFIX]   (default: build/python3.13t)
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(mkdir -p "${1:-build/python3.13t}" && cd "${1:-build/python3.13t}" && pwd)
python="$prefix/bin/python3.13t"
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
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
    >"$work/sources.list"
apt_options=(-o "Dir::Etc::sourcelist=$work/sources.list" -o "Dir::Etc::sourceparts=-"
    -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache")
apt-get "${apt_options[@]}" update -qq >&2
(cd "$work" && apt-get "${apt_options[@]}" source --download-only python3.13 >&2)
tarball=$(ls "$work"/python3.13_*.orig.tar.xz | head -n 1)
tar -xJf "$tarball" -C "$work"
source_dir=$(find "$work" -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)

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
