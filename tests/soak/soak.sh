#!/usr/bin/env bash
# Soak run (not in CI): the bundled sample plus a live RTSP source, recorded as it comes, whose
# server is restarted every two minutes. Reports the program's RSS over time, the recordings made
# and whether each plays.   tests/soak/soak.sh [seconds, default 3600]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-3600}"
build="$root/build/run"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTYX_BUILD_TESTS=OFF -DTYX_BUILD_BENCH=OFF >/dev/null
work="$(mktemp -d /tmp/tyx-soak-XXXXXX)"
cmake --install "$build" --prefix "$work" >/dev/null
mkdir -p "$work/run"
export RUNTIME_DIRECTORY="$work/run"
port=$((20000 + RANDOM % 20000))
gst_python=/usr/bin/python3
"$build/tools/gen_sample_clip/gen_sample_clip" "$work/media/live.mp4" 2 150 640 360

# The sample, with the RTSP source and a second recording of it as it arrives.
"$gst_python" - "$work/StreamCfg.xml" "$port" <<'PY'
import sys
path, port = sys.argv[1], sys.argv[2]
text = open(path, encoding='utf-8').read()
text = text.replace('<MSCount>2</MSCount>', '<MSCount>3</MSCount>', 1)
text = text.replace('</MediaSources>', f'''  <Live1 id="3">
      <MSTYPE>RTSP</MSTYPE><MRType>FMPGAV</MRType><MSFullPath>rtsp://127.0.0.1:{port}/live</MSFullPath>
      <STRMCOUNT>1</STRMCOUNT><Stream id="1"><StrmType>Video</StrmType><avStrmId>0</avStrmId></Stream>
    </Live1>
  </MediaSources>''', 1)
text = text.replace('<MWCount>1</MWCount>', '<MWCount>2</MWCount>', 1)
text = text.replace('</MediaWriters>', '''  <Rec2 id="2">
      <MWType>FILE</MWType><Container>MP4</Container><RootFolder>records_live</RootFolder>
      <VideoStreams>MediaSources.Live1.VideoOutput</VideoStreams><SaveRecordFileList>True</SaveRecordFileList>
      <SegmentLength>3</SegmentLength><PushAtBegin>True</PushAtBegin>
    </Rec2>
  </MediaWriters>''', 1)
open(path, 'w', encoding='utf-8').write(text)
PY

server_pid=""
start_server() {
    "$gst_python" "$root/tests/input/rtsp_test_server.py" --port "$port" --file "$work/media/live.mp4" --mount /live \
        >"$work/rtsp.log" 2>&1 &
    server_pid=$!
}
stop_server() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true; }
trap 'stop_server; [ -n "${program_pid:-}" ] && kill "$program_pid" 2>/dev/null || true' EXIT

start_server
(cd "$work" && exec ./TyxServiceMain -silent >"$work/program.out" 2>&1) &
program_pid=$!
echo "soak: $seconds s in $work (RTSP on port $port, restarted every 120 s)"
printf "%8s %10s\n" "seconds" "RSS MiB"
elapsed=0
while [ "$elapsed" -lt "$seconds" ]; do
    sleep 10
    elapsed=$((elapsed + 10))
    if ! kill -0 "$program_pid" 2>/dev/null; then
        echo "soak: the program ended by itself after $elapsed s"
        break
    fi
    if [ $((elapsed % 60)) -eq 0 ]; then
        rss_kib="$(awk '/^VmRSS/ {print $2}' "/proc/$program_pid/status")"
        printf "%8d %10d\n" "$elapsed" "$((rss_kib / 1024))"
    fi
    if [ $((elapsed % 120)) -eq 0 ]; then
        stop_server
        start_server
    fi
done
kill -TERM "$program_pid" 2>/dev/null || true
wait "$program_pid" && status=0 || status=$?
program_pid=""
stop_server
echo "soak: exit code $status"
mapfile -t files < <(find "$work/records" "$work/records_live" -name '*.mp4' 2>/dev/null | sort)
echo "soak: ${#files[@]} recordings"
if [ "${#files[@]}" -gt 0 ]; then
    "$build/tools/probe_recording/probe_recording" "${files[@]}" && echo "soak: every recording plays" \
        || echo "soak: some recordings do not play"
fi
echo "soak: the folder stays for a look: $work"
