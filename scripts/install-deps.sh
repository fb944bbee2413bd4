#!/usr/bin/env bash
# Installs the Debian packages a build needs. Does nothing when all are present.
#   install-deps.sh         what `make test` and `make run` need (the browser for the web pages' tests)
#   install-deps.sh bench   that, plus the benchmark library and the reference server
#   install-deps.sh fuzz    that, plus clang and its sanitizer and fuzzer runtimes
#   install-deps.sh deb     that, plus what a Debian package is built with
set -euo pipefail

packages=(
  g++ cmake ninja-build
  libboost-dev libboost-program-options-dev
  libexpat1-dev libsqlite3-dev
  libsystemd-dev dbus-daemon
  libgtest-dev libgmock-dev
  python3 scdoc
  chromium chromium-driver python3-selenium
)

case "${1:-}" in
  "") ;;
  bench) packages+=(libbenchmark-dev redis-server) ;;
  fuzz) packages+=(clang libclang-rt-14-dev) ;;
  deb) packages+=(dpkg-dev) ;;
  *)
    echo "usage: $0 [bench|fuzz|deb]" >&2
    exit 2
    ;;
esac

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
