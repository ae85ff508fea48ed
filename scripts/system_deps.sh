#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when any is missing.
# Usage: scripts/system_deps.sh [extra-package ...]
set -euo pipefail
packages=(libgtest-dev libgmock-dev googletest clang-format "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing Debian packages: ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
