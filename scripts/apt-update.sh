# Sourced by the setup scripts: apt_update_retrying [apt-get options...]
# runs `apt-get update`, trying again when it fails. A mirror caught
# mid-sync fails an index for a minute or two; after four tries it goes on
# with the lists fetched (a package really missing then fails its install
# or download, loudly).
apt_update_retrying() {
  local attempt
  for attempt in 1 2 3 4; do
    apt-get update -q "$@" && return 0
    if [[ $attempt == 4 ]]; then
      echo "apt-get update failed 4 times; going on with the lists fetched" >&2
      return 0
    fi
    echo "apt-get update failed (attempt $attempt); trying again in 30 s" >&2
    sleep 30
  done
}
