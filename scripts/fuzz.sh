#!/usr/bin/env bash
# Runs every fuzz target with libFuzzer for SECONDS each (default 60), starting from the seed
# corpus in tests/fuzz/corpus/ (which is only read; new inputs go to build-fuzz/corpus/):
#   scripts/fuzz.sh [SECONDS]
# A finding stops the script with the crashing input in build-fuzz/; copy it into the seed
# corpus once fixed, so the ctest replay keeps it fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

bash scripts/install-deps.sh
packages=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build=build-fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVREL_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTAVREL_PARTS="progress;server"
targets=(request_head multipart range query catalog_page encoders property_bag repr_digest)
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for t in "${targets[@]}"; do
  mkdir -p "$build/corpus/$t"
  echo "== fuzz_$t for ${seconds}s"
  (cd "$build" && "./bin/fuzz_$t" -max_total_time="$seconds" -max_len=65536 -print_final_stats=1 \
     "corpus/$t" "../tests/fuzz/corpus/$t" 2>&1 | grep -E 'stat::number_of_executed_units|Done|ERROR|SUMMARY' || true)
  # libFuzzer leaves crash-*, leak-* or timeout-* files behind on a finding.
  if ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* >/dev/null 2>&1; then
    echo "fuzz_$t found a fault: $(ls "$build"/crash-* "$build"/leak-* "$build"/timeout-* 2>/dev/null)" >&2
    exit 1
  fi
done
echo "== no findings"
