# Progress lines for the scripts' slow stages (sourced): each stage says what it starts, with
# the time since the first script of this run started, and a stage whose tools are quiet
# says every 20 s that it is still going, so a fresh machine is never silent for long.
# The lines go to standard error; standard output stays the scripts' own.

# The start of the run: the outermost script's, which the scripts it starts inherit.
export TARVIK_RUN_START=${TARVIK_RUN_START:-$(date +%s)}

progress() {  # progress TEXT: one line, "[m:ss] TEXT"
  local s=$(($(date +%s) - TARVIK_RUN_START))
  printf '[%d:%02d] %s\n' $((s / 60)) $((s % 60)) "$*" >&2
}

# heartbeat LOG WHAT COMMAND...: runs COMMAND with its output in LOG, and every 20 s says
# it is still WHAT. Where COMMAND is a build, it says how many steps the build has as soon
# as its first compile starts, and each later line gives the last "[k/N]" step. Returns
# COMMAND's status.
heartbeat() {
  local log=$1 what=$2 pid ticks=0 step total=
  shift 2
  "$@" >"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    ticks=$((ticks + 1))
    if [ -z "$total" ]; then
      total=$(sed -n 's|^\[[0-9]*/\([0-9]*\)\] Building .*|\1|p' "$log" | head -1)
      [ -z "$total" ] || progress "  $what: $total steps, the compiles and the links"
    fi
    if [ $((ticks % 20)) = 0 ] && kill -0 "$pid" 2>/dev/null; then
      step=$(grep -o '^\[[0-9]*/[0-9]*\]' "$log" | tail -1)
      progress "  still $what${step:+ ($step)}"
    fi
  done
  wait "$pid"
}

# quietly LOG WHAT COMMAND...: heartbeat, and on failure LOG is printed.
quietly() {
  heartbeat "$@" && return 0
  local rc=$?
  cat "$1" >&2
  return $rc
}

# build PRESET TARGET...: builds the targets of a configured preset, saying what it builds
# when it has anything to compile.
build() {
  local preset=$1
  shift
  local targets=()
  [ $# = 0 ] || targets=(--target "$@")
  quietly "build/$preset-build.log" "compiling $preset${1:+ (${*})}" \
    cmake --build --preset "$preset" "${targets[@]}"
}

# configure PRESET: configures it, saying so when its build folder is new.
configure() {
  mkdir -p build
  [ -f "build/$1/CMakeCache.txt" ] || progress "$1: configuring"
  quietly "build/$1-configure.log" "configuring $1" cmake --preset "$1"
}
