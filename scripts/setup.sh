#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when missing.
set -euo pipefail
PACKAGES=(cmake ninja-build g++ libgtest-dev clang libclang-rt-14-dev
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 xvfb xauth
          imagemagick python3-aiosmtpd xdotool
          openssl libssl-dev  # OpenSSL: the console host's TLS and the tests' certificates
          postfix sasl2-bin libsasl2-modules  # Postfix: the tests' own instance, no system mail set-up
          wixl msitools  # the MSI package and its inspection
          libcurl4-openssl-dev nlohmann-json3-dev)  # OAuth: HTTPS on Linux; JSON in every build and --queue --json
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  # Postfix installed as "No configuration" writes no main.cf and starts
  # nothing: the tests run an instance of their own, the system's mail
  # set-up stays as it was.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
