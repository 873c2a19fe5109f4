# Shared by the set-up and test scripts.
# The preset: ci (warnings are errors) under CI, else dev; DIFRAL_PRESET overrides.
if [ -n "${DIFRAL_PRESET:-}" ]; then
  preset=$DIFRAL_PRESET
elif [ "${CI:-}" = true ]; then
  preset=ci
else
  preset=dev
fi

# Installs the Debian packages that are missing, and nothing when all are there.
ensure_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    return 0
  fi
  echo "Installing missing packages: ${missing[*]}"
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
}
