#!/usr/bin/env bash
# Installs what the build and tests need, by Debian package name. Idempotent and
# quick when everything is already there.
set -euo pipefail
pkgs=(g++ clang cmake ninja-build make libgtest-dev libgmock-dev libbenchmark-dev
      libclang-rt-14-dev libcli11-dev nlohmann-json3-dev libfmt-dev libxxhash-dev libzstd-dev pkg-config
      libblkid-dev nbdkit nbdkit-plugin-dev libnbd-bin fuse3 qemu-utils e2fsprogs fio fdisk)
missing=()
for p in "${pkgs[@]}"; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
	echo "setup: installing ${missing[*]}"
	SUDO=""
	[ "$(id -u)" = 0 ] || SUDO=sudo
	$SUDO apt-get update -qq
	DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
