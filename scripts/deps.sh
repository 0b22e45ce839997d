# deps.sh - installs the Debian packages that building and testing need, when they are missing.
# Sourced by the other scripts: qx_install_deps [extra packages...]
qx_packages=(cmake ninja-build g++ pkg-config python3 libpugixml-dev libasio-dev libsqlite3-dev
             libgtest-dev libgmock-dev libbenchmark-dev libsystemd-dev
             libcli11-dev nlohmann-json3-dev libssl-dev libcpp-httplib-dev
             python3-prometheus-client)
# The browser test of the web view (tests/browser): Debian's chromium, driven over the DevTools
# protocol by a small Python client, and a parser of the metrics' exposition format. Installed
# by scripts/run-tests (and so .ci/run), not by the scripts that only build or run a station.
qx_browser_test_packages=(chromium python3-websocket python3-prometheus-client)

qx_install_deps() {
  local missing=()
  local pkg
  for pkg in "${qx_packages[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
