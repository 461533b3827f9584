# Sourced by bench.sh for its encrypted part, inside its namespace and with
# its data and helpers: burrowlink's encrypted channel (send --secure)
# against rsync over ssh to an sshd of the run's own, interleaved round by
# round, with one line per goal. A burrowlink whose usage text lacks
# --secure gets only the rsync over ssh figures and one line saying so.
#   1000 x 4 KiB on loopback, and through the relay at 1 and 5 ms each way;
#   1 GiB on loopback (and burrowlink's peak RSS); 1 GiB over the shaped
#   link, with each side's CPU seconds per GiB.

secure_flags=(--secure)
# A build without the option takes it for a file and names it; nothing is
# sent either way.
secure_probe=$("$bin" send --secure --to 127.0.0.1:1 2>&1 || true)
has_secure=""
[[ $secure_probe != *--secure* ]] && has_secure=1

# Fresh keys for every run; the client trusts whatever host key it meets.
ssh_dir=$work/ssh
ssh_cipher=chacha20-poly1305@openssh.com
mkdir -p "$ssh_dir" /run/sshd  # sshd refuses to start without the latter
ssh-keygen -q -t ed25519 -N '' -C bench-host -f "$ssh_dir/host_key"
ssh-keygen -q -t ed25519 -N '' -C bench-user -f "$ssh_dir/user_key"
cp "$ssh_dir/user_key.pub" "$ssh_dir/authorized_keys"

# start_sshd ADDRESS [PREFIX]: an sshd on ADDRESS at the next port, in the
# foreground under /usr/bin/time, started through PREFIX (in_far) if given.
start_sshd() {
  next_port
  cat > "$ssh_dir/sshd_config" <<CONF
ListenAddress $1:$port
HostKey $ssh_dir/host_key
AuthorizedKeysFile $ssh_dir/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile $ssh_dir/sshd.pid
Ciphers $ssh_cipher
CONF
  rm -f "$ssh_dir/sshd.pid"
  ${2:-} /usr/bin/time -f "$time_format" -o "$work/sshd.time" \
    /usr/sbin/sshd -D -e -f "$ssh_dir/sshd_config" 2> "$work/sshd.log" &
  sshd_job=$!
  for _ in $(seq 1 300); do
    [[ -s $ssh_dir/sshd.pid ]] && ${2:-} ss -ltnH "sport = :$port" | grep -q . && return
    sleep 0.01
  done
  echo "sshd did not start" >&2; cat "$work/sshd.log" >&2; exit 1
}

# Stops sshd once it has reaped its sessions, so that the time command's
# figures cover the whole receiving tree: sshd, its sessions, their rsync.
stop_sshd() {
  local pid; pid=$(cat "$ssh_dir/sshd.pid")
  for _ in $(seq 1 300); do
    pgrep -P "$pid" > /dev/null || break
    sleep 0.01
  done
  kill "$pid"; wait $sshd_job 2>/dev/null || true
  rm -f "$ssh_dir/sshd.pid"
}

# The ssh command for rsync -e, to PORT. -F and LogLevel keep the caller's
# ssh configuration and the known-hosts notice out of the run.
ssh_cmd() {
  echo "ssh -F /dev/null -p $1 -i $ssh_dir/user_key -c $ssh_cipher" \
    "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null" \
    "-o BatchMode=yes -o LogLevel=ERROR"
}

send_failed() { echo "send failed:" >&2; cat "$work/send.err" >&2; exit 1; }

# ssh_small [DELAY RATE]: the 1000 files by rsync over ssh, straight to
# sshd or through the relay; seconds.
ssh_small() {
  fresh_out; start_sshd 127.0.0.1
  local to=$port t0 t1
  [[ -z ${1:-} ]] || { start_relay $port "$1" "$2"; to=$port; }
  t0=$(now)
  rsync -a --whole-file -e "$(ssh_cmd $to)" "$work/src/small1" "127.0.0.1:$work/out/"
  t1=$(now)
  [[ -z ${1:-} ]] || stop_relay
  stop_sshd
  check_small1
  echo "$t1 - $t0" | bc -l
}

# bl_small_via secure|clear [DELAY RATE]: the same with burrowlink, in one
# offer, with or without --secure.
bl_small_via() {
  fresh_out; mkdir -p "$work/out/small1"; start_receiver small1
  local to=$port t0 t1 flags=()
  [[ $1 == clear ]] || flags=("${secure_flags[@]}")
  [[ -z ${2:-} ]] || { start_relay $port "$2" "$3"; to=$port; }
  t0=$(now)
  "$bin" send "${flags[@]}" "$work/src/small1"/*.bin --to 127.0.0.1:$to \
    2> "$work/send.err" || send_failed
  wait $recv_pid; t1=$(now)
  [[ -z ${2:-} ]] || stop_relay
  check_small1
  echo "$t1 - $t0" | bc -l
}

ssh_big() {
  fresh_out; start_sshd 127.0.0.1
  local t0 t1; t0=$(now)
  rsync -a --whole-file -e "$(ssh_cmd $port)" "$work/src/big.bin" "127.0.0.1:$work/out/"
  t1=$(now); stop_sshd
  check_big "$work/out/big.bin"
  echo "$t1 - $t0" | bc -l
}

# "seconds send-RSS receive-RSS", in KiB.
bl_big_secure() {
  fresh_out; start_receiver ""
  local t0 t1; t0=$(now)
  /usr/bin/time -f "$time_format" -o "$work/send.time" "$on_terminal" \
    "$bin" send "${secure_flags[@]}" "$work/src/big.bin" --to 127.0.0.1:$port \
    > /dev/null 2> "$work/send.err" || send_failed
  wait $recv_pid; t1=$(now)
  check_big "$work/out/big.bin"
  echo "$(echo "$t1 - $t0" | bc -l) $(peak_kb "$work/send.time") $(peak_kb "$work/recv.time")"
}

# Across the shaped link, to an sshd in the far namespace: "seconds
# send-CPU receive-CPU rsync-CPU". The receiving side's CPU is the sshd
# time command's (sshd and every process it reaped); the wrapper given as
# --rsync-path times the receiving rsync alone, the rest is sshd's.
link_ssh() {
  fresh_out; start_sshd 10.99.0.2 in_far
  local t0 t1; t0=$(now)
  /usr/bin/time -f "$time_format" -o "$work/send.time" \
    rsync -a --whole-file -e "$(ssh_cmd $port)" \
    --rsync-path="/usr/bin/time -f '%U %S' -o $work/remote.time rsync" \
    "$work/src/big.bin" "10.99.0.2:$work/out/"
  t1=$(now); stop_sshd
  check_big "$work/out/big.bin"
  echo "$(echo "$t1 - $t0" | bc -l) $(cpu_s "$work/send.time")" \
    "$(cpu_s "$work/sshd.time") $(tail -1 "$work/remote.time" | awk '{print $1 + $2}')"
}

# secure_run TOOL CASE: one run, its line to $work/sec_TOOL_CASE.
secure_run() {
  local via=""
  case $2 in wifi1) via="1 300" ;; wifi5) via="5 300" ;; esac
  case $1:$2 in
    ssh:big) ssh_big ;;
    ssh:link) link_ssh ;;
    ssh:*) ssh_small $via ;;
    *:big) bl_big_secure ;;
    *:link) link_bl "${secure_flags[@]}" ;;
    *) bl_small_via "$1" $via ;;
  esac >> "$work/sec_$1_$2"
}

secure_cases=(small wifi1 wifi5 big link)
make_link
for r in $(seq 1 "$secure_rounds"); do
  echo "secure round $r/$secure_rounds"
  for i in "${!secure_cases[@]}"; do
    c=${secure_cases[$i]}
    tools=(ssh)
    if [[ -n $has_secure ]]; then
      tools=(secure ssh)
      [[ $c == wifi* ]] && tools=(secure clear ssh)
    fi
    for k in "${!tools[@]}"; do  # who goes first changes round by round
      secure_run "${tools[$(((r + i + k) % ${#tools[@]}))]}" "$c"
    done
  done
done

# --- The figures, then one line per goal --------------------------------

sec_med() { col_median "$work/sec_$1_$2" "${3:-1}"; }  # TOOL CASE [COLUMN]
sec_label() {
  case $1 in secure) echo "bl --secure" ;; clear) echo bl ;; ssh) echo "rsync over ssh" ;; esac
}
verdict() { (($(echo "$1" | bc -l))) && echo met || echo MISSED; }
sec_tools=(ssh)
[[ -z $has_secure ]] || sec_tools=(secure ssh)
sec_gib=$(echo "$big_bytes / 1073741824" | bc -l)

printf '\n%-40s %9s %9s\n' "encrypted: 1000 x 4 KiB (median of $secure_rounds)" \
  "seconds" "files/s"
declare -A sec_t
for c in small wifi1 wifi5; do
  case $c in
    small) echo "on loopback" ;;
    wifi*) echo "through the relay, ${c#wifi} ms each way, 300 Mbit/s" ;;
  esac
  shown=("${sec_tools[@]}")
  [[ -z $has_secure || $c == small ]] || shown=(secure clear ssh)
  for tool in "${shown[@]}"; do
    sec_t[${tool}_$c]=$(sec_med $tool $c)
    printf '  %-38s %9.3f %9.0f\n' "$(sec_label $tool)" "${sec_t[${tool}_$c]}" \
      "$(echo "1000 / ${sec_t[${tool}_$c]}" | bc -l)"
  done
done

printf '\n%-40s %9s %9s\n' "encrypted: 1 GiB on loopback" "seconds" "MB/s"
declare -A sec_mbs
for tool in "${sec_tools[@]}"; do
  t=$(sec_med $tool big)
  sec_mbs[$tool]=$(echo "$big_bytes / $t / 1000000" | bc -l)
  printf '  %-38s %9.3f %9.0f\n' "$(sec_label $tool)" "$t" "${sec_mbs[$tool]}"
done
if [[ -n $has_secure ]]; then
  sec_send_kb=$(sort -n -k2 "$work/sec_secure_big" | tail -1 | cut -d' ' -f2)
  sec_recv_kb=$(sort -n -k3 "$work/sec_secure_big" | tail -1 | cut -d' ' -f3)
  printf 'peak RSS of bl --secure over the 1 GiB runs: send %s KiB, receive %s KiB\n' \
    "$sec_send_kb" "$sec_recv_kb"
fi

printf '\n%-40s %9s %14s %14s\n' "encrypted: 1 GiB over $link_rate" "MB/s" \
  "send CPU s/GiB" "recv CPU s/GiB"
declare -A sec_link_mbs sec_link_recv
for tool in "${sec_tools[@]}"; do
  sec_link_mbs[$tool]=$(echo "$big_bytes / $(sec_med $tool link) / 1000000" | bc -l)
  sec_link_recv[$tool]=$(echo "$(sec_med $tool link 3) / $sec_gib" | bc -l)
  printf '  %-38s %9.0f %14.2f %14.2f\n' "$(sec_label $tool)" "${sec_link_mbs[$tool]}" \
    "$(echo "$(sec_med $tool link 2) / $sec_gib" | bc -l)" "${sec_link_recv[$tool]}"
done
printf '  %-38s %9s %14s %14.2f\n' "of which the receiving rsync" "" "" \
  "$(echo "$(sec_med ssh link 4) / $sec_gib" | bc -l)"
echo "(rsync over ssh receives in sshd, its session and their rsync, all timed as one tree)"

if [[ -z $has_secure ]]; then
  echo "secure cases skipped: this build of burrowlink has no send --secure"
else
  printf '\n%s\n' "goals, bl --secure against rsync over ssh in the same rounds:"
  goal() { printf '  %-50s %8s  %-22s %s\n' "$1" "$2" "$3" "$(verdict "$4")"; }
  r=$(ratio "${sec_t[ssh_small]} / ${sec_t[secure_small]}")
  goal "files/s, 1000 x 4 KiB on loopback" "${r}x" "goal >= 1.5" "$r >= 1.5"
  secure_summary="secure ${r}x rsync-ssh files/s"
  for d in 1 5; do
    r=$(ratio "${sec_t[secure_wifi$d]} / ${sec_t[ssh_wifi$d]}")
    goal "time at $d ms each way" "${r}x" "goal <= 0.67" "$r <= 0.67"
    secure_summary+=", ${r}x time at $d ms"
  done
  for d in 1 5; do
    extra=$(echo "${sec_t[secure_wifi$d]} - ${sec_t[clear_wifi$d]}" | bc -l)
    r=$(ratio "$extra / (2 * $d / 1000)")
    goal "$(printf 'secure minus clear at %s ms: %+.3f s' $d "$extra")" "${r} RTT" \
      "goal <= 1 round trip" "$r <= 1"
  done
  r=$(ratio "${sec_mbs[secure]} / ${sec_mbs[ssh]}")
  goal "MB/s, 1 GiB on loopback" "${r}x" "goal >= 1.0" "$r >= 1.0"
  secure_summary+=", ${r}x MB/s"
  for side in send recv; do
    kb=$([[ $side == send ]] && echo "$sec_send_kb" || echo "$sec_recv_kb")
    r=$(ratio "$kb / 8192")
    goal "peak RSS of the $side side: $kb KiB" "${r}x" "goal < 8 MiB" "$kb < 8192"
  done
  r=$(ratio "${sec_link_mbs[secure]} / ${sec_link_mbs[ssh]}")
  printf '  %-50s %8s\n' "MB/s over $link_rate" "${r}x"
  r=$(ratio "${sec_link_recv[secure]} / ${sec_link_recv[ssh]}")
  printf '  %-50s %8s\n' "receiving CPU s/GiB over $link_rate" "${r}x"
  secure_summary+=", link recv CPU ${r}x"
fi
