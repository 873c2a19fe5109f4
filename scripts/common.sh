# Shared by the set-up and test scripts.
# The preset: ci (warnings are errors) under CI, else dev; DIFRAL_PRESET overrides.
if [ -n "${DIFRAL_PRESET:-}" ]; then
  preset=$DIFRAL_PRESET
elif [ "${CI:-}" = true ]; then
  preset=ci
else
  preset=dev
fi

# What a user needs to build and install difral, what the unit tests add,
# and what the rest of the full test tier adds.
build_packages=(cmake ninja-build g++ pkg-config libzip-dev zlib1g-dev libfast-float-dev)
unit_test_packages=(libgtest-dev python3-mypy)
full_test_packages=(clang libclang-rt-14-dev valgrind clang-format)
# The full tier compiles the same sources for many builds and interpreters,
# so it compiles through ccache.
full_test_packages+=(ccache)
# The wheel tier's: installed before the other targets' lane starts, so that
# the two lanes never wait on apt together.
full_test_packages+=(debootstrap twine dpkg-dev)
# Debian's own python3 (3.11) builds difral with its headers and makes the
# pip flows' venvs with python3-venv (Debian's python3 leaves ensurepip out);
# its packaged numpy, matplotlib and dask run the README's sections on them.
full_test_packages+=(python3-dev python3-venv python3-numpy python3-matplotlib python3-dask
  python3-distributed)

# Set to true by --no-apt: the packages come from elsewhere, so neither look
# for them nor run apt-get.
no_apt=false

# Installs the Debian packages that are missing, and nothing when all are
# there. Without root it does not try: it names them and the command to run.
ensure_packages() {
  [ "$no_apt" = false ] || return 0
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
  if [ "$(id -u)" -ne 0 ]; then
    {
      echo "error: these Debian packages are missing: ${missing[*]}"
      echo "Install them as root, then run this again:"
      echo "  sudo apt-get update && sudo apt-get install --no-install-recommends ${missing[*]}"
      echo "Or pass --no-apt if they are installed in another way."
    } >&2
    exit 1
  fi
  echo "Installing missing packages: ${missing[*]}"
  apt-get -o DPkg::Lock::Timeout=1200 update -q
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 install -y -q \
    --no-install-recommends "${missing[@]}"
}

# Prints the interpreter to build for: $PYTHON when set, else the active
# virtual environment's python, else the CPython 3.12 that find-python finds.
# Stops when that interpreter cannot build difral.
choose_python() {
  local python
  if [ -n "${PYTHON:-}" ]; then
    python=$(command -v "$PYTHON") || {
      echo "error: PYTHON=$PYTHON is not a command" >&2
      exit 1
    }
  elif [ -n "${VIRTUAL_ENV:-}" ]; then
    python=$VIRTUAL_ENV/bin/python
  else
    python=$(scripts/find-python 3.12) || exit 1
  fi
  if ! scripts/find-python --check "$python"; then
    echo "error: $python cannot build difral: it needs CPython 3.11, 3.12 or 3.13 with its" \
      "development headers (Python.h)" >&2
    exit 1
  fi
  echo "$python"
}

# Sets apt_options to run apt-get over a private folder $1 (lists, cache and
# downloads) with the sources list $1/sources.list, which the caller writes:
# the system's own apt configuration, state and lock stay untouched. The
# folder is the caller's, so apt downloads as the caller, not as _apt.
private_apt() {
  local root=$1
  mkdir -p "$root/lists/partial" "$root/archives/partial"
  apt_options=(
    -o "Dir::Etc::SourceList=$root/sources.list"
    -o "Dir::Etc::SourceParts=-"
    -o "Dir::State::Lists=$root/lists"
    -o "Dir::Cache=$root"
    -o "Dir::Cache::archives=$root/archives"
    -o "APT::Get::List-Cleanup=0"
    -o "Debug::NoLocking=1"
    -o "APT::Sandbox::User=$(id -un)"
  )
}

# Refuses an unknown option with the script's usage line.
refuse_option() {
  echo "error: unknown option '$1'" >&2
  echo "$usage" >&2
  exit 2
}
