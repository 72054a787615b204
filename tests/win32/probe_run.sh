# probe_attempts <out> <err> <seconds> <probe.exe> <args...>: runs the test
# host under Wine (wine_run comes from the sourcing stage), its stdout in
# <out> and its stderr in <err>.
#
# The host writes "probe: started" to stderr before it does anything. A run
# in CI once ended at once with no word from the host and with its action
# (a posted hotkey) never taken, most likely because Wine had not started
# it. Only such a run, one that provably never reached the host's first
# line, is started again; a host that started and then failed is a failure
# like any other, and when it printed nothing its stderr is shown, the only
# trace of why.
probe_attempts() {
    local out=$1 err=$2 limit=$3; shift 3
    local attempt rc=0
    for attempt in 1 2 3; do
        wine_run "$limit" "$@" </dev/null >"$out" 2>"$err"
        rc=$?
        grep -q '^probe: started' "$err" && break
        echo "    (Wine did not start the test host, exit $rc, attempt $attempt; it said:)"
        tail -n 10 "$err" | tr -d '\r' | sed 's/^/    | /'
    done
    if [ "$rc" -ne 0 ] && [ ! -s "$out" ]; then
        echo "    (the test host ended with $rc and printed nothing; on stderr:)"
        tail -n 20 "$err" | tr -d '\r' | sed 's/^/    | /'
    fi
    return $rc
}
