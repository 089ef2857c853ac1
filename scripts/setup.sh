#!/usr/bin/env bash
# Installs everything the project needs on a fresh Debian 12 machine: the build tools and libraries from
# Debian's packages, and Azurite from npm into the project's own tree. Safe to run again: it installs only
# what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake ninja-build pkg-config clang-format
  libcurl4-openssl-dev nlohmann-json3-dev libarchive-dev libicu-dev libsecret-1-dev
  libjpeg62-turbo-dev libvips-dev libexiv2-dev libcpp-httplib-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libedit-dev
  dbus dbus-x11 gnome-keyring libsecret-tools
  ca-certificates openssl zip unzip curl exiv2 rclone
)
# Node.js and npm only when missing: some machines carry a Node.js build that bundles its own npm.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Azurite (the Azure Storage emulator) for the storage tests, kept inside the project.
if [ ! -x tools/azurite/node_modules/.bin/azurite ]; then
  echo "setup: installing Azurite"
  mkdir -p tools/azurite
  cd tools/azurite
  [ -f package.json ] || echo '{"name":"vorelia-tools","private":true}' > package.json
  npm install --no-audit --no-fund --loglevel=error azurite@3
  cd ../..
fi
echo "setup: done"
