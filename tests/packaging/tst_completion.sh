#!/bin/bash
# tarvo's bash completion, against a stand-in tarvo that records its
# arguments and answers a search with awkward CSV. Run through
# scripts/netns-run, so that the interfaces offered are the private
# network's (lo, v0 with 192.0.2.1).
#   tst_completion.sh COMPLETION-FILE
set -u
export LC_ALL=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/files/sub"
touch "$work/files/a.json" "$work/files/b.upg" "$work/files/c.txt"
cat >"$work/bin/tarvo" <<'STUB'
#!/bin/sh
echo "$*" >>"$STUB_LOG"
[ -z "${STUB_SLEEP:-}" ] || sleep "$STUB_SLEEP"
printf '%s\r\n' 'serial,label,address,firmware,name,mac,type' \
  '15030001,Stage Left,192.0.2.10,V1.2,Tarvo,02:54:41:52:70:01,application' \
  '15030002,"Front, truss ""A""",192.0.2.11,V1.2,Tarvo,x,application' \
  "15030003,'=cmd,192.0.2.12,V1,Tarvo,x,bootloader" \
  "15030004,it's:ok,192.0.2.13,V1,Tarvo,x,application" \
  '15030005,"two' 'lines",192.0.2.14,V1,Tarvo,x,application' \
  "15030006,'quoted,192.0.2.15,V1,Tarvo,x,application" \
  '15030007,Bühne $HOME,192.0.2.16,V1,Tarvo,x,application'
STUB
chmod +x "$work/bin/tarvo"
export PATH="$work/bin:$PATH" STUB_LOG="$work/log"
# shellcheck source=/dev/null
. "$1"
cd "$work/files" || exit 1

passed=0 failed=0
# check LINE TEXT EXPECTED: completes at the end of LINE, TEXT being the part
# the shell replaces (the completion function's $2); EXPECTED is COMPREPLY
# joined by '|'.
check()
{
    COMP_LINE=$1
    COMP_POINT=${#1} # in characters, as bash counts
    COMPREPLY=()
    _tarvo tarvo "$2" ""
    local got
    got=$(IFS='|'; echo "${COMPREPLY[*]}")
    if [[ $got == "$3" ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        printf 'FAIL: [%s]\n  expected [%s]\n  got      [%s]\n' "$1" "$3" "$got"
    fi
}

check 'tarvo ' '' 'search|check|show|config|default|backup|restore|upgrade|run|metrics|help'
check 'tarvo --json co' co 'config'
check 'tarvo config s' s 'set'
check 'tarvo help up' up 'upgrade'
check 'tarvo search --c' --c '--csv'
check 'tarvo backup d --all --c' --c '--csv'
check 'tarvo metrics --e' --e '--expect'
check 'tarvo metrics --expect ' '' 'a.json|sub'
check 'tarvo upgrade x.upg --allow-' --allow- '--allow-same-version|--allow-downgrade'
check 'tarvo metrics --s' --s '--state'
check 'tarvo default --d' --d '--dry-run'
check 'tarvo search --y' --y ''
check 'tarvo check ' '' ''
check 'tarvo config set 15030001 a.json 15030002 ' '' 'a.json|sub'
check 'tarvo restore --match ' '' 'serial|label|address'
check 'tarvo --timeout ' '' ''
# Interfaces: names and IPv4 addresses, loopback left out.
check 'tarvo --interface ' '' 'v0|192.0.2.1'
check 'tarvo --interface=19' 19 '192.0.2.1'
# Node names: serial, label and address, escaped for the line; in a quote
# the user opened, in that quote's way. A formula's guard apostrophe goes.
check 'tarvo show 1503000' 1503000 '15030001|15030002|15030003|15030004|15030005|15030006|15030007'
check 'tarvo show St' St 'Stage\ Left'
check 'tarvo show "Front' Front 'Front, truss \"A\"'
check "tarvo show 'it" it "it'\\''s:ok"
check 'tarvo show =' '' 'cmd'
check "tarvo show it\\'s:" '' 'ok'
check "tarvo run Stage\\ Left \\'q" "\\'q" "\\'quoted"
# shellcheck disable=SC2016 # a label with a dollar sign
check 'tarvo default Bühne\ ' 'Bühne\ ' 'Bühne\ \$HOME'
check 'tarvo show lines' lines ''
check 'tarvo run --all ' '' ''
check 'tarvo config set 15030001 ' '' 'a.json|sub'
check 'tarvo config set --all ' '' 'a.json|sub'
check 'tarvo upgrade ' '' 'b.upg|sub'
check 'tarvo upgrade b.upg 192.0.2.1' 192.0.2.1 '192.0.2.10|192.0.2.11|192.0.2.12|192.0.2.13|192.0.2.14|192.0.2.15|192.0.2.16'
check 'tarvo backup ' '' 'sub'
check 'tarvo config get 15030001 -o c' c 'c.txt'

# One search per interface, kept between tabs, with --interface passed on.
check 'tarvo --interface 192.0.2.1 show 192.0.2.10' 192.0.2.10 '192.0.2.10'
expected_log='search --csv --timeout 300
search --csv --timeout 300 --interface 192.0.2.1'
if [[ $(cat "$work/log") == "$expected_log" ]]; then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    printf 'FAIL: the searches run were:\n%s\n' "$(cat "$work/log")"
fi

# A search that hangs is given up after a few seconds.
start=$SECONDS
STUB_SLEEP=30 check 'tarvo --interface=v0 show 1503' 1503 ''
if ((SECONDS - start <= 5)); then
    passed=$((passed + 1))
else
    failed=$((failed + 1))
    echo "FAIL: a hanging search held the completion for $((SECONDS - start)) s"
fi

echo "$passed passed, $failed failed"
[[ $failed == 0 ]]
