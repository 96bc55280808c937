# Sourced by the tool tests, with $tool the k5320 program: a backplane service of the test's own
# (runtime and state below a fresh directory $work), stopped and removed at exit, and fail(),
# which counts failures in $failures.
work=$(mktemp -d /tmp/k5320-tool-test-XXXXXX)
export TARN_BACKPLANE=service TARN_BACKPLANE_RUNTIME=$work/run TARN_BACKPLANE_STATE=$work/state
service="${tool%/*}/../../backplane/k5320-backplaned"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() {
  "$service" --stop >/dev/null 2>&1
  rm -rf "$work"
}
trap finish EXIT
