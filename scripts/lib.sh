# Shared by scripts/test and scripts/report; sourced, not run.

# The interpreter for CPython VERSION (e.g. 3.10): pyenv's first, then PATH; empty if none.
find_python() {
    local version=$1 candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version"; do
        if [[ -x $candidate ]]; then echo "$candidate"; return; fi
    done
    command -v "python$version" || true
}

# Installs Debian's PostgreSQL server when it is missing. Returns 1 (having installed
# nothing) when it is missing and this is not root; install messages go to stderr.
install_postgres() {
    compgen -G "/usr/lib/postgresql/*/bin/initdb" >/dev/null && return 0
    command -v initdb >/dev/null && return 0
    [[ $(id -u) -eq 0 ]] || return 1
    echo "== installing the PostgreSQL server" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq postgresql >/dev/null
}
