# check_completion.bash COMPLETION: run with bash under simcam-run, camctl on PATH.
# What the camctl completion offers for typical command lines.
set -u
source /usr/share/bash-completion/bash_completion
source "$1"
fail=0
while IFS='|' read -r line want; do
    COMP_LINE=$line COMP_POINT=${#line}
    read -ra COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _camctl
    got="${COMPREPLY[*]}"
    if [[ $got != "$want" ]]; then
        echo "'$line': offered '$got', expected '$want'" >&2
        fail=1
    fi
done <<'CASES'
camctl sn|snap
camctl -q st|stream
camctl --ver|--verbose --version
camctl list --j|--json
camctl stream --sl|--slot
camctl snap -f |MJPG YUY2
camctl snap --fo|--force
camctl stream --d|--duration
camctl stream --duration |
camctl snap --slot |0 1
camctl snap -d /dev/video|/dev/video0 /dev/video1
camctl ctrl |list get set
camctl ctrl get bri|brightness
camctl ctrl set -d /dev/video0 --slot 1 cont|contrast
camctl ctrl set brightness |
camctl dsp |read write
camctl sensor read 0x10 --|--8 --slot
camctl rec|record
camctl record --seg|--segment
camctl record --pre |
CASES
exit $fail
