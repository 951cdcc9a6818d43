#!/bin/bash
# install_test.sh BUILD SOURCE CC FLAGS: installs BUILD into a temporary
# prefix, checks what landed there, and builds and runs the README's C
# example against it through pkg-config and through find_package(wisam).
set -euo pipefail
build=$1 source=$2 cc=$3 flags=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

failed() { echo "install test: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
version=$(sed -n 's/^project(wisam VERSION \([0-9.]*\).*/\1/p' "$source/CMakeLists.txt")
major=${version%%.*}
real=$(find "$prefix" -name "libwisam.so.$version")
[ -n "$real" ] || failed "no libwisam.so.$version under $prefix"
libdir=$(dirname "$real")
[ "$(readlink "$libdir/libwisam.so.$major")" = "libwisam.so.$version" ] || failed "libwisam.so.$major"
[ "$(readlink "$libdir/libwisam.so")" = "libwisam.so.$major" ] || failed "libwisam.so"
readelf -d "$real" | grep -q "SONAME.*\[libwisam.so.$major\]" || failed "SONAME is not libwisam.so.$major"
for file in "$libdir/libwisam.a" "$prefix/include/wisam.h" "$libdir/pkgconfig/wisam.pc" \
            "$libdir/cmake/wisam/wisamConfig.cmake" "$libdir/cmake/wisam/wisamConfigVersion.cmake"; do
    [ -f "$file" ] || failed "$file is missing"
done
[ "$("$prefix/bin/wisam" --version)" = "wisam $version" ] || failed "wisam --version"

# The first C block after "## The C interface", as a reader would copy it.
awk '/^## The C interface/ { section = 1 } section && /^```c$/ { inside = 1; next }
     inside && /^```$/ { exit } inside' "$source/README.md" >"$work/example.c"
[ -s "$work/example.c" ] || failed "no C example in README.md"

run() {  # run DIR PROGRAM [ENV...]: in a fresh directory, as the README says
    mkdir "$work/$1"
    local output
    output=$(cd "$work/$1" && env "${@:3}" "$2") || failed "$2 exited with $?"
    [ "$output" = "record 1: Ada Lovelace" ] || failed "$2 printed '$output'"
    [ -f "$work/$1/people.wox" ] && [ -f "$work/$1/people.wod" ] || failed "$2 built no file"
}

export PKG_CONFIG_PATH=$libdir/pkgconfig
[ "$(pkg-config --modversion wisam)" = "$version" ] || failed "pkg-config --modversion"
# shellcheck disable=SC2046,SC2086
"$cc" $flags -o "$work/example-pc" "$work/example.c" $(pkg-config --cflags --libs wisam)
run pc "$work/example-pc" LD_LIBRARY_PATH="$libdir"

mkdir "$work/consumer"
cp "$work/example.c" "$work/consumer/"
cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(example LANGUAGES C)
find_package(wisam 6 REQUIRED)
add_executable(example example.c)
target_link_libraries(example PRIVATE wisam::wisam)
CMAKE
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
run cmake "$work/consumer/build/example"

# The static library from the same C-only project: the C++ runtime comes
# with the target.
sed -i 's/wisam::wisam)/wisam::wisam_static)/' "$work/consumer/CMakeLists.txt"
cmake -S "$work/consumer" -B "$work/consumer/build-static" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" >/dev/null
cmake --build "$work/consumer/build-static" >/dev/null || failed "wisam::wisam_static from a C-only project"
run static "$work/consumer/build-static/example"
echo "installed into $prefix; the README example ran through pkg-config and find_package (shared and static)"
