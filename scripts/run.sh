#!/usr/bin/env bash
# Builds the program, installs it with its sample into one folder and runs it there in console
# mode until Ctrl-C. With options, runs the installed program with them instead (for example
# "-Checkenv"). The folder is build/program, or $TYX_PROGRAM_DIR.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program_dir="${TYX_PROGRAM_DIR:-$root/build/program}"
"$root/scripts/build.sh" "$root/build/run" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTYX_BUILD_TESTS=OFF \
    -DTYX_BUILD_BENCH=OFF >/dev/null
cmake --install "$root/build/run" --prefix "$program_dir" >/dev/null

# The remote-control user gets a password of its own at the first run; it is kept afterwards.
rcm="$program_dir/RcmConfig.xml"
if ! grep -q "<user " "$rcm"; then
    password="$(head -c 64 /dev/urandom | base64 | tr -dc 'A-Za-z0-9' | head -c 16)"
    sed -i "s|  <RcmUsers>|  <RcmUsers>\n    <user id=\"1\">\n      <username>admin</username>\n      <password>$password</password>\n      <Privilege>11</Privilege>\n      <comments>Made at the first run</comments>\n    </user>|" "$rcm"
    chmod 600 "$rcm"
    echo "Remote control: user \"admin\", password \"$password\" (kept in $rcm)."
fi

cd "$program_dir"
if [ $# -eq 0 ]; then
    echo "Running in $program_dir; recordings go to $program_dir/records, the log to $program_dir/logs."
    echo "Ctrl-C stops the run."
    exec ./TyxServiceMain -console
fi
exec ./TyxServiceMain "$@"
