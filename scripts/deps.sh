# Installs the Debian packages the build needs, only when some are missing.
korvane_packages="g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev sqlite3 libcli11-dev nlohmann-json3-dev locales libpq-dev zlib1g-dev libzstd-dev postgresql python3 dpkg-dev man-db help2man ccache abigail-tools"

korvane_install_deps() {
  local missing=()
  local p
  for p in $korvane_packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
  fi
}
