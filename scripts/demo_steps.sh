# Narration and checking helpers of the demo, sourced by scripts/demo_inner.sh and
# the demo's parts. Each step prints a short heading and what to look at, echoes the
# command as a user would type it, runs it under a time limit, shows its output and
# checks it. A failed check is reported at once, the tour goes on, and the summary
# at the end names every failed step and makes the exit status non-zero.

DEMO_STEP=0
DEMO_FAILED=()
# The last command's output; the caller names the file (and removes it).
DEMO_OUT=${DEMO_OUT:-$(mktemp /tmp/velmarine-demo-out.XXXXXX)}
demo_step_ok=1
demo_step_title=""
demo_status=0

# step TITLE [NARRATION LINE...]
step() {
  demo_step_title=$1
  shift
  DEMO_STEP=$((DEMO_STEP + 1))
  demo_step_ok=1
  local head="== $DEMO_STEP. $demo_step_title "
  printf '\n%s%s\n' "$head" "$(printf '%*s' $((78 - ${#head})) '' | tr ' ' '=')"
  local line
  for line in "$@"; do printf '%s\n' "$line"; done
}

# fail REASON: marks the current step failed.
fail() {
  printf '   FAILED: %s\n' "$1"
  if [ "$demo_step_ok" = 1 ]; then DEMO_FAILED+=("$DEMO_STEP. $demo_step_title"); fi
  demo_step_ok=0
}

# run_shown SECONDS "SHOWN COMMAND" ARGV...: echoes the shown command (none when
# empty: ARGV echoes its own), runs ARGV
# with its output on the terminal and in $DEMO_OUT, and records the exit status.
# The whole process group is ended when the time is up.
run_shown() {
  local limit=$1 shown=$2
  shift 2
  [ -z "$shown" ] || printf '$ %s\n' "$shown"
  timeout -k 3 "$limit" "$@" < /dev/null 2>&1 | tee "$DEMO_OUT"
  demo_status=${PIPESTATUS[0]}
  if [ "$demo_status" = 124 ] || [ "$demo_status" = 137 ]; then
    fail "no answer within ${limit} s"
  fi
}

# run SECONDS ARGV...: as run_shown, showing ARGV itself.
run() {
  local limit=$1
  shift
  run_shown "$limit" "$*" "$@"
}

# expect_status N: the last command's exit status.
expect_status() {
  case "$demo_status" in 124 | 137) return ;; esac   # already reported as a time-out
  [ "$demo_status" = "$1" ] || fail "exit status $demo_status, expected $1"
}

# expect_line TEXT: the last command's output holds a line containing TEXT.
expect_line() {
  grep -qF -- "$1" "$DEMO_OUT" || fail "no line with \"$1\" in the output"
}

# check DESCRIPTION ARGV...: a look at the lab's side of things; prints DESCRIPTION
# with "ok" when ARGV succeeds.
check() {
  local what=$1
  shift
  if "$@" > /dev/null 2>&1; then printf '   ok: %s\n' "$what"; else fail "$what"; fi
}

# step_done: one closing line for a step whose checks all passed.
step_done() {
  if [ "$demo_step_ok" = 1 ]; then printf '   ok\n'; fi
}

# summary SECONDS_TAKEN: the verdict; its status is the demo's exit status.
summary() {
  printf '\n%s\n' "$(printf '%78s' '' | tr ' ' '=')"
  if [ ${#DEMO_FAILED[@]} -eq 0 ]; then
    printf 'Demo complete: all %d steps passed in %d s.\n' "$DEMO_STEP" "$1"
    return 0
  fi
  printf 'Demo FAILED: %d of %d steps failed (%d s):\n' "${#DEMO_FAILED[@]}" "$DEMO_STEP" "$1"
  printf '   %s\n' "${DEMO_FAILED[@]}"
  return 1
}
