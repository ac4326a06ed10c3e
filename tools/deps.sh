#!/bin/sh
# Installs the Debian packages a task needs, those that are missing only:
#
#   tools/deps.sh build   the converter: a compiler and CMake
#   tools/deps.sh test    build, and the tests (GoogleTest, the manual
#                         page lint)
#   tools/deps.sh ci      test, and all that .ci/run does besides: the
#                         fuzzer, the package check, the cross builds run
#                         under an emulator
#   tools/deps.sh bench   build, and the benchmarks
#
# Runs apt-get as root, or through sudo for anyone else; does nothing at
# all when every package is there already.
set -eu

build="cmake make g++"
test="$build googletest libgtest-dev libgmock-dev groff-base"
ci="$test python3 clang libclang-rt-14-dev dpkg-dev file lintian
  g++-aarch64-linux-gnu g++-s390x-linux-gnu qemu-user"
bench="$build python3 libbenchmark-dev time mawk"

case ${1-} in
build) want=$build ;;
test) want=$test ;;
ci) want=$ci ;;
bench) want=$bench ;;
*)
	echo "usage: $0 build|test|ci|bench" >&2
	exit 2
	;;
esac

missing=
for p in $want; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
		missing="$missing $p"
done
[ -n "$missing" ] || exit 0

if [ "$(id -u)" -eq 0 ]; then
	asroot=
elif command -v sudo >/dev/null 2>&1; then
	asroot=sudo
else
	echo "$0: these packages are missing, and installing them needs root:$missing" >&2
	exit 1
fi
echo "== installing:$missing"
$asroot env DEBIAN_FRONTEND=noninteractive apt-get update -q
# shellcheck disable=SC2086 # one word per package
$asroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
