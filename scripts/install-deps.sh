#!/usr/bin/env bash
# Installs the Debian packages the build needs. Does nothing when all are present.
set -euo pipefail

packages=(
  g++ cmake ninja-build
  libboost-dev libboost-program-options-dev
  libexpat1-dev
  libgtest-dev libgmock-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
