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
#       prompt is being built or is up (the child's exit ends it at once with its status, after
#       the handler it registered; the parent's prompt stays up), one whose main thread, which
#       never called the library, exits while the password window is up (status 7, nothing
#       printed), one in which a thread that called the library ends while a prompt is up (the
#       prompt stays), and ones that name a platform that cannot start although a display exists
#       (a screen the X server lacks, a framebuffer that cannot be opened).
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

# fork_row PROMPT MS: the caller forks MS ms after a worker started PROMPT.
fork_row() {
  local prompt="$1" ms="$2" out code took
  out="$(timeout 30 "$caller" fork "$prompt" "$ms" 2>&1)"
  code=$?
  took="$(sed -n 's/^child ended with 3 after \([0-9]*\) ms$/\1/p' <<<"$out")"
  if [ "$code" -ne 9 ]; then
    fail "fork $prompt after $ms ms: the caller ended with $code: $out"
  elif [ "$(sed -n 1p <<<"$out")" != "child handler" ] || [ -z "$took" ] ||
    [ "$(sed -n 3p <<<"$out")" != "prompt still up" ] || [ "$(wc -l <<<"$out")" -ne 3 ]; then
    fail "fork $prompt after $ms ms: printed: $out"
  elif [ "$took" -ge 2500 ]; then
    fail "fork $prompt after $ms ms: the child took $took ms to end"
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
  "$caller" exit-unwatched getpw >"$dir/out" 2>&1 &
  local pid=$!
  if ! timeout 30 xdotool search --sync --onlyvisible --name '^Input PassWord$' >/dev/null; then
    fail "exit from an unwatched thread: no password window"
    kill -9 "$pid" 2>/dev/null
  fi
  sleep "$delay"
  kill -USR1 "$pid" 2>/dev/null
  wait "$pid"
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
    for ms in 20 300 1000; do
      fork_row "$prompt" "$ms"
    done
  done
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
