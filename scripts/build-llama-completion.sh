#!/usr/bin/env bash
# Builds the real llama-completion that the tests and benchmarks run, from the
# llama.cpp sources that node-llama-cpp ships as llama/gitRelease.bundle.
#
# Everything lives outside the checkout, under
#   ${XDG_CACHE_HOME:-$HOME/.cache}/quorvane-dev/
#     node-llama-cpp-<version>.tgz   the npm package
#     llama.cpp/                      git clone of the bundle (kept for tests
#                                     that clone it again as a bare repository)
#     llama.cpp/build/bin/            the build (ignored by llama.cpp's .gitignore)
#     ccache/                         compiler cache, unless CCACHE_DIR is set
#     build.log                       output of the last configure and build
#
# Once built, a run does nothing but print the path. Progress goes to standard
# error; the last line of standard output is the absolute path of the binary.
set -euo pipefail

package="node-llama-cpp@3.21.1"
tarball="node-llama-cpp-3.21.1.tgz"
cache="${XDG_CACHE_HOME:-$HOME/.cache}/quorvane-dev"
src="$cache/llama.cpp"
bin="$src/build/bin/llama-completion"
# Bumped whenever what is built changes, so that a cached build is redone.
stamp="$cache/llama-build-3.built"

# Same configure flags as the application's own source build, and every target
# it builds, so that the compiler cache filled here serves that build too.
# The libraries are found beside the programs ($ORIGIN), as in the published
# release archives, so that the folder can be packed into one for the tests.
cmake_flags=(-DCMAKE_BUILD_TYPE=Release -DGGML_NATIVE=ON -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF
             -DCMAKE_BUILD_RPATH_USE_ORIGIN=ON)

log() { echo "build-llama-completion: $*" >&2; }

if [ -x "$bin" ] && [ -f "$stamp" ]; then
    echo "$bin"
    exit 0
fi

mkdir -p "$cache"
# Tests may call this in parallel; one builds, the others wait for it.
exec 9>"$cache/.lock"
flock 9
if [ -x "$bin" ] && [ -f "$stamp" ]; then
    echo "$bin"
    exit 0
fi

if ! command -v npm >/dev/null 2>&1; then
    # Debian's npm package. It is not in install-deps.sh because it conflicts
    # with the nodejs packages that bring their own npm.
    log "npm not found, installing Debian's npm"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends npm ca-certificates >&2
fi

if [ ! -f "$cache/$tarball" ]; then
    log "fetching $package"
    tmp="$(mktemp -d "$cache/.pack.XXXXXX")"
    (cd "$tmp" && npm pack --silent "$package" >/dev/null)
    mv "$tmp/$tarball" "$cache/$tarball"
    rm -rf "$tmp"
fi

if ! git -C "$src" rev-parse --verify -q HEAD >/dev/null 2>&1; then
    log "cloning the llama.cpp bundle"
    tmp="$(mktemp -d "$cache/.bundle.XXXXXX")"
    tar -xzf "$cache/$tarball" -C "$tmp" package/llama/gitRelease.bundle
    rm -rf "$src"
    git -c advice.detachedHead=false clone -q "$tmp/package/llama/gitRelease.bundle" "$src"
    rm -rf "$tmp"
fi

if [ -z "${CCACHE_DIR:-}" ]; then
    export CCACHE_DIR="$cache/ccache"
fi
# Paths inside the clone are hashed relative to the build folder, so that a
# copy of the tree elsewhere (the application's source build, run with its own
# tree as the base) hits the same cache entries. The base is the clone and
# never "/": that would also turn /usr/include into "../" chains as deep as the
# tree, which match no tree at another depth.
export CCACHE_BASEDIR="$src"
command -v ccache >/dev/null 2>&1 || log "ccache not found; building without it"

# A build made before the stamp changed is redone from nothing, so that every
# object is compiled (and cached) the way this script now builds it.
if [ -d "$src/build" ]; then
    log "removing the build of an earlier recipe"
    rm -rf "$src/build"
fi

jobs="$(nproc)"
log "building llama.cpp with $jobs jobs (log: $cache/build.log)"
start=$SECONDS
if ! { cmake -S "$src" -B "$src/build" "${cmake_flags[@]}" &&
       cmake --build "$src/build" --config Release -j"$jobs"; } \
       >"$cache/build.log" 2>&1; then
    tail -n 40 "$cache/build.log" >&2
    log "build failed"
    exit 1
fi
if [ ! -x "$bin" ]; then
    log "build finished but $bin is missing"
    exit 1
fi
"$bin" --version >"$stamp" 2>&1 || { rm -f "$stamp"; log "$bin --version failed"; exit 1; }
log "built in $((SECONDS - start)) s"
echo "$bin"
