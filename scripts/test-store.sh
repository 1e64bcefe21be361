# Sourced by the test commands: starts one local S3-compatible store for the
# whole run, stopped however the run ends (and by itself should the sourcing
# shell be killed), and names it in VORN_TEST_S3_DIR for the tests. Where the
# store's packages are missing, the object storage tests skip, saying so.
s3_server="$PWD/scripts/s3-server.sh"
s3_dir="$(mktemp -d)"
trap '"$s3_server" stop "$s3_dir"; rm -rf "$s3_dir"' EXIT
s3_status=0
"$s3_server" start "$s3_dir" --owner $$ >/dev/null || s3_status=$?
# Status 3: the packages are missing.
case $s3_status in
    0) export VORN_TEST_S3_DIR="$s3_dir" ;;
    3) ;;
    *) exit "$s3_status" ;;
esac
