#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, but
# only those that are missing, so a machine that has them pays nothing.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_file() { compgen -G "$1" >/dev/null; }

have_cmd g++ || need+=(g++)
have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd sqlite3 || need+=(sqlite3)
have_cmd psql || need+=(postgresql-client)
have_cmd runuser || need+=(util-linux)
have_cmd python3 || need+=(python3)
have_cmd pkill || need+=(procps)
have_cmd dpkg-shlibdeps || need+=(dpkg-dev)  # the package's library dependencies
have_cmd file || need+=(file)                 # used by dpkg-shlibdeps
have_cmd clang-format || need+=(clang-format) # the tree's formatting is checked
have_file /usr/include/postgresql/libpq-fe.h || need+=(libpq-dev)
have_file /usr/include/sqlite3.h || need+=(libsqlite3-dev)
have_file /usr/include/gtest/gtest.h || need+=(libgtest-dev)
have_file '/usr/lib/postgresql/*/bin/initdb' || need+=(postgresql)
have_file /usr/share/zoneinfo/Europe/Berlin || need+=(tzdata)

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
