#!/usr/bin/env bash
# Runs the outside caller (pinprompt_outside_caller) as processes of their own, for what only
# shows when the process ends or outlives a prompt:
#   outside_caller_checks.sh exit CALLER
#       on a display (scripts/with-openbox.sh): a worker starts a prompt and the main thread
#       calls exit(9) at each moment of a table, while the prompt is being built, shown or (after
#       cleanApp) taken down. Every run must end with code 9 and print nothing: no crash, no
#       toolkit warning. PINPROMPT_EXIT_ROUNDS (default 2) runs each case more often.
#   outside_caller_checks.sh no-platform CALLER
#       with no platform to show a prompt on: every prompt returns, one line on standard error
#       each, and the caller goes on.
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
        elif [ -n "$out" ]; then
          fail "$prompt, exit after $ms ms: printed: $out"
        else
          passed=$((passed + 1))
        fi
      done
    done
  done
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
no-platform)
  no_platform "DISPLAY unset" -u DISPLAY -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY
  no_platform "xcb, no X server at the display" QT_QPA_PLATFORM=xcb DISPLAY=:4093
  no_platform "a platform that is not installed" QT_QPA_PLATFORM=nosuchplatform DISPLAY=:4093
  no_platform "a list of platforms, none can start" -u DISPLAY "QT_QPA_PLATFORM=nosuchplatform;xcb:nograb"
  ;;
*)
  echo "usage: outside_caller_checks.sh exit|no-platform CALLER" >&2
  exit 2
  ;;
esac
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
