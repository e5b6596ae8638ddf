#!/usr/bin/env bash
# run-in-own-prefix.sh BUILD_DIR PREFIX: the service test in a Wine prefix of
# its own. Ends that prefix's server (and with it the service) however the
# test ends.
set -u
build=$1
prefix=$2
end_server() { "$build/wine-run" --prefix "$prefix" --end-server; }
trap end_server EXIT
trap 'exit 143' TERM INT

# The first start creates the prefix; an earlier run's server may still live.
end_server
"$build/wine-run" --prefix "$prefix" cmd /c exit >/dev/null 2>&1 </dev/null
dir="$prefix/drive_c/pelorin"
rm -rf "$dir" "$prefix/drive_c/svc" "$prefix/drive_c/svc dir"
mkdir -p "$dir"
cp "$build/bin/pelorin.exe" "$build/bin/ostrel.dll" "$build/bin/SnapLiveAudioEmbedderSDK.dll" "$dir/"
"$build/wine-run" --prefix "$prefix" "$build/bin/winservice_tests.exe"
