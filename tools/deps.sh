#!/usr/bin/env bash
# tools/deps.sh - installs the Debian packages that `make demo` and `make test`
# need and that the machine lacks; does nothing when every one is there.
#   build:   the compilers, CMake, Ninja, GoogleTest, Google Benchmark, pkg-config
#   tools:   what the `ulmot` tool and `ulmot-readerd` are built with: CLI11 (command
#            lines) and nlohmann-json (the tool's JSON), both header-only
#   python:  the Python package's tests (pytest) and its install test (venv, setuptools, wheel)
#   gateway: ulmot-gateway's libraries (libmosquitto, toml++) and its tests'
#            broker, MQTT client and certificates (mosquitto, paho-mqtt, openssl)
#   wireshark: tshark, which the dissector's tests (tools/wireshark/ulmot.lua) run; its question
#            about capturing as a non-root user is answered "no"
#   fuzz:    clang and its libFuzzer runtime (make fuzz)
#   cross:   the cross compilers for aarch64 and s390x and qemu-user, which runs their
#            programs (make cross, cross-test, cross-ci; the target's GoogleTest is built
#            from the sources of the build group's googletest)
# tools/deps.sh GROUP... installs the packages of those groups (default: build, tools, python,
# gateway, wireshark).
set -euo pipefail
declare -A groups=(
  [build]="g++ cmake ninja-build googletest libgtest-dev libgmock-dev libbenchmark-dev pkg-config"
  [tools]="libcli11-dev nlohmann-json3-dev"
  [python]="python3 python3-pytest python3-venv python3-setuptools python3-wheel python3-pip"
  [gateway]="libmosquitto-dev libtomlplusplus-dev mosquitto mosquitto-clients python3-paho-mqtt openssl"
  [wireshark]="tshark"
  [fuzz]="clang libclang-rt-14-dev"
  [cross]="g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user"
)
wanted=()
[ $# -gt 0 ] || set -- build tools python gateway wireshark
for group in "$@"; do
  for name in ${groups[$group]:?"unknown group '$group'"}; do wanted+=("$name"); done
done
missing=()
for name in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "ok installed" || missing+=("$name")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
# wireshark-common asks whether non-root users may capture: no.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
