#!/usr/bin/env bash
# Fuzzes the pure protocol core with libFuzzer for a while.
#   scripts/fuzz.sh [SECONDS]      (default 60)
# Installs clang and its fuzzer runtime from Debian when they are missing,
# builds fuzz_reply with clang++ (-DCOMM_FUZZ=ON) and runs it on a copy of
# fuzz/corpus, so new inputs never land in the checked-in seeds. Inputs that
# crash are written to the build directory; copy the ones worth keeping into
# fuzz/corpus by hand. Set COMM_FUZZ_BUILD to choose the build directory.
set -euo pipefail

duration="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${COMM_FUZZ_BUILD:-$root/build/fuzz}"

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi

# True when clang++ can link a libFuzzer target.
can_link_fuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local probe
    probe="$(mktemp -d)"
    printf '%s\n' \
        '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *, std::size_t) { return 0; }' \
        >"$probe/probe.cpp"
    local ok=0
    clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" \
        -o "$probe/probe" >/dev/null 2>&1 || ok=1
    rm -rf "$probe"
    return "$ok"
}

if ! can_link_fuzzer; then
    echo "fuzz.sh: installing clang and its fuzzer runtime" >&2
    $sudo apt-get update -qq
    # Debian 12 ships libFuzzer in the versioned compiler-rt package.
    major=""
    if apt-cache show clang >/dev/null 2>&1; then
        major="$(apt-cache depends clang | sed -n 's/.*Depends: clang-\([0-9]*\)$/\1/p' | head -n1)"
    fi
    packages=(clang)
    if [ -n "$major" ]; then
        packages+=("libclang-rt-$major-dev")
    fi
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${packages[@]}" >/dev/null
    can_link_fuzzer || { echo "fuzz.sh: clang++ cannot link -fsanitize=fuzzer" >&2; exit 1; }
fi

if ! command -v cmake >/dev/null 2>&1; then
    python3 -m pip install cmake ninja
fi
generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCOMM_CORE_ONLY=ON -DCOMM_FUZZ=ON >/dev/null
cmake --build "$build" --target fuzz_reply

work="$build/corpus"
rm -rf "$work"
mkdir -p "$work"
cp "$root"/fuzz/corpus/* "$work"/

cd "$build"
# Undefined behaviour is a finding too: stop on the first report.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
./fuzz_reply -max_total_time="$duration" -max_len=512 -print_final_stats=1 \
    "$work"
