#!/usr/bin/env bash
# Runs the outside caller (pinprompt_outside_caller) as processes of their own, for what only
# shows when the process ends or outlives a prompt:
#   outside_caller_checks.sh exit CALLER
#       on a display (scripts/with-openbox.sh): a worker starts a prompt and the main thread
#       calls exit(9) at each moment of a table, while the prompt is being built, shown or (after
#       cleanApp) taken down. Every run must end with code 9 after the caller's own exit handler,
#       and print nothing else: no crash, no toolkit warning. PINPROMPT_EXIT_ROUNDS (default 2)
#       runs each case more often.
#   outside_caller_checks.sh no-platform CALLER
#       with no platform to show a prompt on: every prompt returns, one line on standard error
#       each, and the caller goes on.
#   outside_caller_checks.sh host-shapes CALLER
#       on a display (scripts/with-openbox.sh), hosts of common shapes: one that forks while a
#       prompt is being built or is up, once or hundreds of times in a row and in several
#       processes at once (a child that executes a program at once does so whenever it is
#       forked; a child forked while the prompt's window waits for the user ends at its exit at
#       once with its status, after the handler it registered; the parent's prompt stays up),
#       one whose main thread, which never called the library, exits while the password window
#       is up (status 7, nothing printed), one whose exit handler or static's destructor asks
#       for a prompt (it returns at once, no window), one in which a thread that called the
#       library ends while a prompt is up (the prompt stays), and ones that name a platform that
#       cannot start although a display exists (a screen the X server lacks, a framebuffer that
#       cannot be opened).
set -uo pipefail
mode="$1"
caller="$2"
passed=0
failed=0
fail() {
  echo "FAIL: $*"
  failed=$((failed + 1))
}

exit_during_prompts() {
  local rounds="${PINPROMPT_EXIT_ROUNDS:-2}" prompt extra ms out code
  for prompt in getpw showdlg "showdlg cleanapp" showtips; do
    for ms in 0 1 2 5 10 20 30 50 80 120 200; do
      for _ in $(seq "$rounds"); do
        # shellcheck disable=SC2086 # "showdlg cleanapp" is two arguments
        out="$(set -- $prompt; "$caller" exit "$1" "$ms" ${2:-} 2>&1)"
        code=$?
        if [ "$code" -ne 9 ]; then
          fail "$prompt, exit after $ms ms: the caller ended with $code: $out"
        elif [ "$out" != "caller handler" ]; then
          fail "$prompt, exit after $ms ms: printed: $out"
        else
          passed=$((passed + 1))
        fi
      done
    done
  done
}

# start_caller OUT ARGS...: starts the caller with ARGS in the background, its output into
# OUT, as $started; a watchdog kills it after 60 s. wait_caller then waits for it.
start_caller() {
  local out="$1"
  shift
  "$caller" "$@" >"$out" 2>&1 &
  started=$!
  (sleep 60 && kill -9 "$started") >/dev/null 2>&1 &
  watchdog=$!
}
wait_caller() {
  wait "$started"
  local code=$?
  kill "$watchdog" 2>/dev/null
  return "$code"
}

# usr1_once_shown PID DELAY: sends SIGUSR1 to PID DELAY seconds after a window of PID shows;
# false, with PID killed, when none shows.
usr1_once_shown() {
  if timeout 30 xdotool search --sync --onlyvisible --pid "$1" >/dev/null; then
    sleep "$2"
    kill -USR1 "$1"
    return 0
  fi
  kill -9 "$1" 2>/dev/null
  return 1
}

# fork_row PROMPT KIND COUNT WHEN [DELAY]: the caller forks COUNT children of KIND (exec or
# exit), WHEN ms after a worker called PROMPT, or with WHEN "shown" DELAY seconds after the
# prompt's window showed.
fork_row() {
  local prompt="$1" kind="$2" count="$3" when="$4" delay="${5:-}" dir code out name handlers slowest
  name="fork $prompt, $count $kind child(ren) "
  if [ "$when" = shown ]; then name+="$delay s after the window showed"; else name+="$when ms after the call"; fi
  dir="$(mktemp -d)"
  start_caller "$dir/out" fork "$prompt" "$kind" "$count" "$when"
  if [ "$when" = shown ] && ! usr1_once_shown "$started" "$delay"; then
    fail "$name: no window"
  fi
  wait_caller
  code=$?
  out="$(cat "$dir/out")"
  rm -rf "$dir"
  handlers=0
  [ "$kind" = exit ] && handlers="$count"
  slowest="$(sed -n 's/^forked=.* slowest_ms=\([0-9]*\)$/\1/p' <<<"$out")"
  if [ "$code" -ne 9 ]; then
    fail "$name: the caller ended with $code: $out"
  elif [ "$(sed -n '1s/ slowest_ms=[0-9]*$//p' <<<"$out")" != \
    "forked=$count ended=$count status_ok=$count handlers=$handlers stuck=0" ] ||
    [ "$(sed -n 2p <<<"$out")" != "prompt still up" ] || [ "$(wc -l <<<"$out")" -ne 2 ]; then
    fail "$name: printed: $out"
  elif [ "$count" -eq 1 ] && [ "$slowest" -ge 2500 ]; then
    fail "$name: the child took $slowest ms to end"
  else
    passed=$((passed + 1))
  fi
}

# fork_storm PROMPT...: one caller per PROMPT, all at once, each forking 300 children that
# execute a program, from the call of its first prompt on.
fork_storm() {
  local dir prompt i=0 p f
  dir="$(mktemp -d)"
  for prompt in "$@"; do
    i=$((i + 1))
    (
      passed=0 failed=0
      fork_row "$prompt" exec 300 0
      echo "$passed $failed" >"$dir/$i"
    ) &
  done
  wait
  for f in "$dir"/*; do
    read -r p f <"$f"
    passed=$((passed + p))
    failed=$((failed + f))
  done
  rm -rf "$dir"
}

# answer_with_escape PID: the user presses Escape in the password window of PID, and again
# only when that window is still up 2 s later (a key that comes before the window takes input
# is lost), so that no second press reaches a window that comes after it.
answer_with_escape() {
  local window presses polls
  window="$(timeout 30 xdotool search --sync --onlyvisible --pid "$1" --name '^Input PassWord$' | tail -n 1)"
  [ -n "$window" ] || return 1
  for presses in 1 2 3 4 5; do
    xdotool windowactivate --sync "$window" key Escape >/dev/null 2>&1
    for polls in $(seq 20); do
      sleep 0.1
      xdotool search --onlyvisible --pid "$1" --name '^Input PassWord$' 2>/dev/null | grep -qx "$window" || return 0
    done
  done
  return 1
}

# prompt_at_exit_row PROMPT HOW: the caller's exit handler (HOW handler) or a static's
# destructor (HOW static) asks for PROMPT once a worker's password prompt was answered.
prompt_at_exit_row() {
  local prompt="$1" how="$2" dir code out expected name="$1 from an exit $2"
  dir="$(mktemp -d)"
  start_caller "$dir/out" prompt-at-exit "$prompt" "$how"
  if ! answer_with_escape "$started"; then
    fail "$name: no password window to answer"
  fi
  wait_caller
  code=$?
  out="$(cat "$dir/out")"
  rm -rf "$dir"
  case "$prompt" in
  getpw) expected='^GetPW gave 100 after ([0-9]+) ms, buffer untouched$' ;;
  showdlg) expected='^showDlg returned after ([0-9]+) ms$' ;;
  *) expected='^showTips returned after ([0-9]+) ms$' ;;
  esac
  if [ "$code" -ne 5 ]; then
    fail "$name: the caller ended with $code: $out"
  elif ! [[ "$out" =~ $expected ]]; then
    fail "$name: printed: $out"
  elif [ "${BASH_REMATCH[1]}" -ge 1000 ]; then
    fail "$name: the prompt took ${BASH_REMATCH[1]} ms to return"
  else
    passed=$((passed + 1))
  fi
}

# thread_end_row PROMPT: a thread that called the library ends while PROMPT is up.
thread_end_row() {
  local prompt="$1" out code
  out="$(timeout 30 "$caller" thread-ends "$prompt" 2>&1)"
  code=$?
  if [ "$code" -ne 9 ] || [ "$out" != "prompt still up" ]; then
    fail "a thread ends during $prompt: the caller ended with $code, printing: $out"
  else
    passed=$((passed + 1))
  fi
}

# unwatched_exit_row SECONDS: the caller's main thread exits SECONDS after the password window
# of a GetPW from a worker shows.
unwatched_exit_row() {
  local delay="$1" dir code
  dir="$(mktemp -d)"
  start_caller "$dir/out" exit-unwatched getpw
  if ! usr1_once_shown "$started" "$delay"; then
    fail "exit from an unwatched thread: no password window"
  fi
  wait_caller
  code=$?
  if [ "$code" -ne 7 ]; then
    fail "exit from an unwatched thread $delay s after the window showed: the caller ended with $code: $(cat "$dir/out")"
  elif [ -s "$dir/out" ]; then
    fail "exit from an unwatched thread $delay s after the window showed: printed: $(cat "$dir/out")"
  else
    passed=$((passed + 1))
  fi
  rm -rf "$dir"
}

# no_platform NAME ENV...: the caller with the environment changed by ENV (env's arguments).
no_platform() {
  local name="$1" dir out err code lines
  shift
  dir="$(mktemp -d)"
  env "$@" "$caller" no-platform >"$dir/out" 2>"$dir/err"
  code=$?
  out="$(cat "$dir/out")"
  err="$(cat "$dir/err")"
  lines="$(wc -l <"$dir/err")"
  rm -rf "$dir"
  if [ "$code" -ne 0 ] || [ "$out" != "caller alive" ]; then
    fail "$name: the caller ended with $code, printing: $out $err"
  elif [ "$lines" -ne 3 ] || grep -qv '^pinprompt: no prompt shown' <<<"$err"; then
    fail "$name: not one line per prompt on standard error: $err"
  else
    passed=$((passed + 1))
  fi
}

case "$mode" in
exit)
  [ -n "${DISPLAY:-}" ] || { echo "no display" >&2; exit 2; }
  exit_during_prompts
  ;;
host-shapes)
  [ -n "${DISPLAY:-}" ] || { echo "no display" >&2; exit 2; }
  for prompt in getpw showdlg showtips; do
    fork_row "$prompt" exec 1 20
    fork_row "$prompt" exit 1 shown 0.3
    fork_row "$prompt" exit 1 shown 1
  done
  # Storms: children that execute a program, in six processes at once from the first
  # prompt's call on; children that exit, one process at a time once the window waits.
  fork_storm getpw showdlg showtips getpw showdlg showtips
  for prompt in getpw showdlg showtips; do
    fork_row "$prompt" exit 200 shown 0.5
  done
  prompt_at_exit_row getpw handler
  prompt_at_exit_row showdlg handler
  prompt_at_exit_row showtips static
  for delay in 0 0.3 1 2; do
    unwatched_exit_row "$delay"
  done
  for prompt in getpw showdlg; do
    thread_end_row "$prompt"
  done
  one_screen="${DISPLAY%.*}"
  no_platform "a screen the X server lacks" -u QT_QPA_PLATFORM DISPLAY="$one_screen.1"
  no_platform "screen 5 of a one-screen X server" QT_QPA_PLATFORM=xcb DISPLAY="$one_screen.5"
  no_platform "linuxfb, a framebuffer that cannot be opened" QT_QPA_PLATFORM=linuxfb:fb=/nonexistent/fb9
  if [ ! -e /dev/fb0 ] && [ ! -e /dev/graphics/fb0 ]; then
    no_platform "linuxfb without a framebuffer device" QT_QPA_PLATFORM=linuxfb
  fi
  ;;
no-platform)
  no_platform "DISPLAY unset" -u DISPLAY -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY
  no_platform "xcb, no X server at the display" QT_QPA_PLATFORM=xcb DISPLAY=:4093
  no_platform "a platform that is not installed" QT_QPA_PLATFORM=nosuchplatform DISPLAY=:4093
  no_platform "a list of platforms, none can start" -u DISPLAY "QT_QPA_PLATFORM=nosuchplatform;xcb:nograb"
  ;;
*)
  echo "usage: outside_caller_checks.sh exit|no-platform|host-shapes CALLER" >&2
  exit 2
  ;;
esac
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
