# Black-box runs of Vantel.exe under Wine, sourced by tests/win32/stage (which
# provides wine_run, DISPLAY, WINEPREFIX and $build). Every Wine run has a time
# limit; every wait inside the test host is bounded.

bb_exe="$build/src/platform/win32/Vantel.exe"
bb_probe="$build/tests/vantel_probe.exe"
bb_work="$build/blackbox"
bb_failed=0
source "$root/tests/win32/probe_run.sh"

winpath() { local p="Z:$1"; printf '%s' "${p//\//\\}"; }

bb_check() {  # bb_check <description> <condition command...>
    local what=$1; shift
    if "$@"; then
        echo "ok $what"
    else
        echo "FAIL $what"
        bb_failed=1
    fi
}

# bb_probe_run <seconds> <probe args...>: the test host, its output kept in $bb_out.
bb_probe_run() {
    local limit=$1; shift
    probe_attempts "$bb_work/probe.out" "$bb_work/probe.err" "$limit" "$bb_probe" "$@"
    local rc=$?
    # The Windows programs write CR LF line ends.
    bb_out=$(tr -d '\r' <"$bb_work/probe.out")
    printf '%s\n' "$bb_out" | sed 's/^/    /'
    return $rc
}

rm -rf "$bb_work"
mkdir -p "$bb_work"
firmware="$bb_work/Board_GF.bin"
# 16 KB keep the runs short: Wine makes each block's exchange slower than a
# native run.
wine_run 30 "$bb_probe" make-image 1000 "$(winpath "$firmware")" 16 </dev/null >/dev/null 2>&1
bb_check "the test image is written" test -s "$firmware"

# An RX-431 with 16 KB of flash.
cat > "$bb_work/small.txt" <<'SCN'
keyboard rx431
vid 0x0F39
pid 0x0641
flash-kib 16
isp separate
SCN

# A keyboard that enters its boot loader and does not come back within the
# test: the run then waits (timer 4, two minutes at real timing) with its
# window up and idle, so the host can look at it and drive it.
cat > "$bb_work/stays-away.txt" <<'SCN'
keyboard rx431
vid 0x0F39
pid 0x0641
flash-kib 16
isp separate
reenumerate-ms 3600000
SCN

fw_win=$(winpath "$firmware")
small=$(winpath "$bb_work/small.txt")
exe_win=$(winpath "$bb_exe")

# --- a host-driven result-file run flashes the keyboard and tells the host ------
echo "-- result-file run"
result="$bb_work/result.txt"
VANTEL_SIMULATE="$small" VANTEL_TIMING_SCALE=1/5 \
    bb_probe_run 90 host 60000 "$exe_win" "$fw_win" "$(winpath "$result")"
bb_check "host run ended" test $? -eq 0
bb_check "one message 2024 with WPARAM 1, LPARAM 0" \
    test "$(printf '%s\n' "$bb_out" | grep -c '^message 2024')" -eq 1 -a \
    -n "$(printf '%s\n' "$bb_out" | grep -x 'message 2024 wparam=1 lparam=0')"
bb_check "Vantel.exe exited with 0" grep -qx 'exit 0' <<<"$bb_out"
printf 'Result of updating %s:\r\r\nUpdate successfully!' "$fw_win" > "$bb_work/expected.txt"
bb_check "the result file holds exactly the success text" cmp -s "$result" "$bb_work/expected.txt"

# --- a folder the ANSI code page cannot name ----------------------------------------
echo "-- Cyrillic folder"
cyr="$bb_work/Прошивка"
mkdir -p "$cyr"
cp "$firmware" "$cyr/Board_GF.bin"
VANTEL_SIMULATE="$small" VANTEL_TIMING_SCALE=1/5 \
    bb_probe_run 90 host 60000 "$exe_win" "$(winpath "$cyr/Board_GF.bin")" "$(winpath "$cyr/result.txt")"
bb_check "the run from a Cyrillic folder succeeds" grep -qx 'message 2024 wparam=1 lparam=0' <<<"$bb_out"
bb_check "... and exits with 0" grep -qx 'exit 0' <<<"$bb_out"
# The result names the file by its short form, which has no question marks.
bb_check "the result file is written into that folder and names the file by its short form" \
    bash -c "head -c 200 '$cyr/result.txt' | tr -d '\r' | grep -q '^Result of updating Z:.*Board_GF.bin:\$' && ! grep -q '?' '$cyr/result.txt' && tail -c 20 '$cyr/result.txt' | grep -q 'Update successfully!'"

# --- an event-log run: the compact progress window --------------------------------
echo "-- event-log run"
VANTEL_SIMULATE="$small" VANTEL_TIMING_SCALE=1/5 \
    bb_probe_run 90 host 60000 "$exe_win" "$fw_win" EVENTVIEWER
bb_check "event-log run tells the host of the success" grep -qx 'message 2024 wparam=1 lparam=0' <<<"$bb_out"

VANTEL_SIMULATE="$(winpath "$bb_work/stays-away.txt")" \
    wine_run 120 "$bb_probe" host 100000 "$exe_win" "$fw_win" EVENTVIEWER </dev/null 2>/dev/null | tr -d '\r' >"$bb_work/compact-host.log" &
host_pid=$!
bb_probe_run 60 compact 40000
bb_check "compact progress window" test $? -eq 0
bb_probe_run 60 close 40000 8
bb_check "the compact window ends on WM_CLOSE, without an outcome" test $? -eq 0
wait $host_pid
bb_check "the closed run sent the host nothing and exited with 8" bash -c "! grep -q '^message' '$bb_work/compact-host.log' && grep -qx 'exit 8' '$bb_work/compact-host.log'"

# --- a result-file run behind its tray icon -----------------------------------------
echo "-- tray commands"
tray_result="$bb_work/tray-result.txt"
VANTEL_SIMULATE="$(winpath "$bb_work/stays-away.txt")" \
    wine_run 120 "$bb_probe" host 100000 "$exe_win" "$fw_win" "$(winpath "$tray_result")" </dev/null 2>/dev/null | tr -d '\r' >"$bb_work/tray-host.log" &
host_pid=$!
bb_probe_run 60 tray 40000
bb_check "tray commands" test $? -eq 0
wait $host_pid
bb_check "the tray quit reported nothing" bash -c "! grep -q '^message' '$bb_work/tray-host.log' && grep -qx 'exit 8' '$bb_work/tray-host.log' && [ ! -e '$tray_result' ]"

# --- an interactive start: layout, screenshot, keys ------------------------------------
echo "-- interactive run"
VANTEL_SIMULATE=default wine_run 120 "$bb_exe" </dev/null >/dev/null 2>&1 &
app_pid=$!
bb_probe_run 60 layout 40000
bb_check "main window layout" test $? -eq 0
shot="$bb_work/main-window.png"
# The window alone (Wine's virtual desktop starts at the screen's origin).
geometry=$(sed -n 's/^window \([0-9]*x[0-9]*+[0-9]*+[0-9]*\)$/\1/p' <<<"$bb_out")
xwd -root -silent -display "$DISPLAY" | /usr/bin/convert xwd:- -crop "${geometry:-800x600+0+0}" +repage "$shot" 2>/dev/null
bb_check "screenshot taken" test -s "$shot"
if [ -s "$shot" ] && [ -n "${VANTEL_BLACKBOX_DOCS:-}" ]; then
    mkdir -p "$VANTEL_BLACKBOX_DOCS" && cp "$shot" "$VANTEL_BLACKBOX_DOCS/vantel-main-window.png"
fi
bb_probe_run 60 keys 40000
bb_check "Enter and Escape" test $? -eq 0
bb_probe_run 60 about 40000
bb_check "About box" test $? -eq 0
bb_probe_run 60 close 40000
bb_check "the interactive window ends on WM_CLOSE" test $? -eq 0
wait $app_pid

[ $bb_failed -eq 0 ]
