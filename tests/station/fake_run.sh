#!/bin/sh
# A stand-in for one station run (vemotool --batch --events=- ...): it
# plays the plan the test left for its device, $FAKE_PLANS/<device>, line by
# line:
#   any JSON line    printed as it is (an event on standard output)
#   @wait            waits for SIGTERM, then goes on with the next line
#   @end S REASON    appends a record (status S, this process's pid) to the
#                    --record file, says the end event, exits with S
#   @quiet-exit S    exits with S, no record, no end event
# A TERM that comes elsewhere is left until the next @wait.
for argument in "$@"; do
    case "$argument" in
    --device=*) device=${argument#--device=} ;;
    --record=*) record=${argument#--record=} ;;
    esac
done
stopped=
trap 'stopped=1' TERM
now() { date +%Y-%m-%dT%H:%M:%S.000+00:00 -u; }
started=$(now)
while IFS= read -r line; do
    case "$line" in
    @wait)
        while [ -z "$stopped" ]; do
            sleep 5 >/dev/null 2>&1 &
            wait $! 2>/dev/null
        done
        ;;
    "@end "*)
        rest=${line#@end }
        status=${rest%% *}
        reason=${rest#* }
        printf '{"pid":%s,"device":"%s","status":%s,"reason":"%s","started":"%s","ended":"%s","bytesTaken":null}\n' \
            $$ "$device" "$status" "$reason" "$started" "$(now)" >>"$record"
        printf '{"event":"end","status":%s,"reason":"%s","pid":%s,"firmwareBefore":"2.10","firmwareAfter":"2.11"}\n' \
            "$status" "$reason" $$
        exit "$status"
        ;;
    "@quiet-exit "*)
        exit "${line#@quiet-exit }"
        ;;
    *)
        printf '%s\n' "$line"
        ;;
    esac
done <"$FAKE_PLANS/$device"
exit 0
