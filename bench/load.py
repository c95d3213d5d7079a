#!/usr/bin/env python3
"""What translating costs the running application: the real `ombrix` (release build, Qt's offscreen
platform) translates both directions on a private sound server for a while in real time, driven
through its control channel (OMBRIX_CONTROL), with speech and silence alternating: a fake call
application plays espeak-ng speech and the microphone carries other speech in the call's pauses.
With a provider peer (tests/peers) the program signs in through the account peer and reaches the
peer over TLS under the provider's real host name.

Prints the `ombrix` process's CPU time as a share of one core, its resident memory, file
descriptors and threads at the start and the end, and the heap allocations made inside the sound
stream callbacks (counted by bench/alloc_counter.cpp, preloaded; they must be zero).

    bench/load.py [--server pulseaudio|pipewire] [--provider mock|gemini|openai] [--minutes 10]
                  [--build build/release]

Needs `cmake --build build/release --target ombrix ombrix-sound-guard ombrix_alloc_counter` and,
for the peers, `npm ci` in tests/peers. Runs itself inside tests/support/sound_with_server.sh.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CALL_NAME, CALL_ID = "Chiamata di prova", "org.example.call"
LOGIN_CODE = "123456"
PROVIDER_HOSTS = {"gemini": "generativelanguage.googleapis.com", "openai": "api.openai.com"}
CALL_TEXT = ("Good morning everybody, thank you for joining the call. Today we look at the plans "
             "for the next quarter and at the open questions from last week.")
MIC_TEXT = ("Thank you. I have read the report and I agree with most of it, but I would like to "
            "talk about the budget before we decide anything.")
TICKS = os.sysconf("SC_CLK_TCK")


def log(text):
    print(f"[load {time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)


class Failure(Exception):
    pass


# ---- the process as /proc shows it ------------------------------------------------------------

def cpu_ticks(path):
    """utime + stime of a process or task, in clock ticks (the name may hold spaces)."""
    with open(path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def status_kb(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def thread_ticks(pid):
    """Per thread name: CPU ticks of the threads alive now."""
    out = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
            out[name] = out.get(name, 0) + cpu_ticks(f"/proc/{pid}/task/{tid}/stat")
        except OSError:
            pass
    return out


def sample(pid):
    return {
        "time": time.monotonic(),
        "ticks": cpu_ticks(f"/proc/{pid}/stat"),
        "rss_kb": status_kb(pid, "VmRSS"),
        "anon_kb": status_kb(pid, "RssAnon"),
        "fds": len(os.listdir(f"/proc/{pid}/fd")),
        "threads": len(os.listdir(f"/proc/{pid}/task")),
        "per_thread": thread_ticks(pid),
    }


# ---- the allocation counter's shared file (layout: Counts in bench/alloc_counter.cpp) ----------

COUNT_FIELDS = ("magic", "callbacks", "news", "mallocs", "frees", "bytes", "stacks")
COUNT_STACKS, COUNT_FRAMES = 8, 8


def read_counts(path):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return None
    n = len(COUNT_FIELDS) + COUNT_STACKS * COUNT_FRAMES
    if len(data) < 8 * n:
        return None
    values = struct.unpack(f"<{n}Q", data[:8 * n])
    counts = dict(zip(COUNT_FIELDS, values))
    if counts["magic"] != 0x32746E756F636C61:
        return None
    frames = values[len(COUNT_FIELDS):]
    counts["stacks"] = [[a for a in frames[k * COUNT_FRAMES:(k + 1) * COUNT_FRAMES] if a]
                        for k in range(min(counts["stacks"], COUNT_STACKS))]
    return counts


def symbolize(pid, stacks):
    """Each stack as "function (file) < caller (file) < ...", outside the counter itself, through
    /proc/<pid>/maps and addr2line; best effort."""
    maps = []
    try:
        with open(f"/proc/{pid}/maps") as f:
            for line in f:
                parts = line.split()
                if len(parts) >= 6:
                    start, end = (int(x, 16) for x in parts[0].split("-"))
                    maps.append((start, end, int(parts[2], 16), parts[5]))
    except OSError:
        return [" < ".join(hex(a) for a in stack) for stack in stacks]
    out = []
    for stack in stacks:
        names = []
        for address in stack:
            where = hex(address)
            for start, end, offset, path in maps:
                if start <= address < end:
                    if "alloc_counter" in path:
                        where = None
                        break
                    relative = address - start + offset
                    name = "?"
                    if shutil.which("addr2line"):
                        r = subprocess.run(["addr2line", "-f", "-C", "-e", path, hex(relative - 1)],
                                           capture_output=True, text=True)
                        name = r.stdout.splitlines()[0] if r.stdout else "?"
                    where = f"{name} ({os.path.basename(path)})"
                    break
            if where:
                names.append(where)
        out.append(" < ".join(names))
    return out


# ---- sound: speech and silence alternating ---------------------------------------------------

def speech(text, voice, path):
    subprocess.run(["espeak-ng", "-v", voice, "-w", path, text], check=True, capture_output=True)
    with wave.open(path) as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            raise Failure("espeak-ng wrote an unexpected format")
        return w.getframerate(), w.readframes(w.getnframes())


def conversation(folder):
    """Two raw s16le mono files of one cycle each: the call speaks while the microphone is silent,
    then the other way round, with a pause after each phrase."""
    rate, call = speech(CALL_TEXT, "en", os.path.join(folder, "call.wav"))
    rate_mic, mic = speech(MIC_TEXT, "en-us", os.path.join(folder, "mic.wav"))
    if rate != rate_mic:
        raise Failure("espeak-ng voices differ in rate")
    half = max(len(call), len(mic)) + 2 * 2 * rate  # the longer phrase and 2 s of silence
    silence = bytes(half)
    call_cycle = call + bytes(half - len(call)) + silence
    mic_cycle = silence + mic + bytes(half - len(mic))
    files = []
    for name, data in (("call.raw", call_cycle), ("mic.raw", mic_cycle)):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        files.append(path)
    log(f"conversation cycle {2 * half / 2 / rate:.1f} s: call speaks {len(call) / 2 / rate:.1f} s, "
        f"microphone {len(mic) / 2 / rate:.1f} s")
    return rate, files[0], files[1]


def player(path, rate, extra):
    script = ("exec >/dev/null 2>&1; while cat \"$0\"; do :; done | exec pacat --playback --raw "
              f"--format=s16le --rate={rate} --channels=1 --latency-msec=250 " + " ".join(extra))
    return subprocess.Popen(["sh", "-c", script, path], start_new_session=True)


def stop_group(process):
    if process and process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


# ---- peers --------------------------------------------------------------------------------------

def start_peer(folder, ca, script, args):
    err = open(os.path.join(folder, os.path.basename(os.path.dirname(script)) + ".log"), "w")
    p = subprocess.Popen(["node", os.path.join(ROOT, "tests/peers", script), "--cert", ca + "/server.pem",
                          "--key", ca + "/server.key", *args],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True)
    line = p.stdout.readline().strip()
    if not line.isdigit():
        p.kill()
        raise Failure(f"peer {script} did not print its port (npm ci in tests/peers?)")
    return p, int(line)


# ---- the control channel ------------------------------------------------------------------------

class Control:
    def __init__(self, path, process, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if process.poll() is not None:
                    raise Failure("ombrix ended before its control channel opened")
                if time.monotonic() > deadline:
                    raise Failure("no control channel")
                time.sleep(0.1)
        self.sock.settimeout(60)
        self.buffer = b""
        self.next_id = 1
        self.state = {}

    def request(self, body):
        body = dict(body, id=self.next_id)
        self.next_id += 1
        self.sock.sendall((json.dumps(body) + "\n").encode())
        while True:
            while b"\n" not in self.buffer:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise Failure("control channel closed")
                self.buffer += chunk
            line, self.buffer = self.buffer.split(b"\n", 1)
            answer = json.loads(line)
            if answer.get("id") == body["id"]:
                if "state" in answer:
                    self.state = answer["state"]
                if not answer.get("ok"):
                    raise Failure(f"{body} refused: {answer.get('error')}")
                return answer

    def wait(self, condition, what, timeout=60, refresh=False):
        deadline = time.monotonic() + timeout
        while True:
            if refresh:
                self.request({"op": "refresh"})
            state = self.request({"op": "state"})["state"]
            if condition(state):
                return state
            if time.monotonic() > deadline:
                raise Failure(f"waited in vain for {what}; state: {json.dumps(state)[:2000]}")
            time.sleep(0.5)


def lines(state):
    return state["listen"]["line"], state["speak"]["line"]


# ---- the run ------------------------------------------------------------------------------------

def run(options):
    build = os.path.join(ROOT, options.build) if not os.path.isabs(options.build) else options.build
    exe = os.path.join(build, "src/app/ombrix")
    counter = os.path.join(build, "bench/libombrix_alloc_counter.so")
    if not os.access(exe, os.X_OK):
        raise Failure(f"{exe} missing: cmake --build {options.build} --target ombrix ombrix-sound-guard")
    folder = tempfile.mkdtemp(prefix="ombrix-load.")
    processes = []
    ombrix = None
    try:
        rate, call_raw, mic_raw = conversation(folder)
        processes.append(player(call_raw, rate, [f"--client-name='{CALL_NAME}'",
                                                 f"--property=application.name='{CALL_NAME}'",
                                                 f"--property=application.id={CALL_ID}"]))
        processes.append(player(mic_raw, rate, ["--property=application.name=Voce", "--device=microphone"]))

        env = dict(os.environ)
        home = os.path.join(folder, "home")
        os.makedirs(home)
        counts_file = os.path.join(folder, "alloc-counts")
        env.update({"QT_QPA_PLATFORM": "offscreen", "OMBRIX_CONTROL": os.path.join(folder, "control"),
                    "XDG_CONFIG_HOME": home + "/config", "XDG_STATE_HOME": home + "/state", "TMPDIR": home,
                    "OMBRIX_ALLOC_COUNTS": counts_file})
        env.pop("QUENDRA_DEBUG", None)
        if os.path.exists(counter):
            env["LD_PRELOAD"] = counter
        else:
            log(f"{counter} missing: allocations not counted (build target ombrix_alloc_counter)")
        if options.provider != "mock":
            ca = os.path.join(folder, "ca")
            subprocess.run([os.path.join(ROOT, "tests/peers/make-test-ca.sh"), ca], check=True)
            account, account_port = start_peer(folder, ca, "account/server.js", ["--code", LOGIN_CODE])
            processes.append(account)
            peer, peer_port = start_peer(folder, ca, f"{options.provider}/server.js", [])
            processes.append(peer)
            env.update({"SSL_CERT_FILE": ca + "/ca.pem", "SSL_CERT_DIR": ca + "/none",
                        "OMBRIX_CONNECT_TO": f"{PROVIDER_HOSTS[options.provider]}:443:127.0.0.1:{peer_port}"})

        stderr = open(os.path.join(folder, "ombrix.stderr"), "w")
        ombrix = subprocess.Popen([exe], env=env, stdout=subprocess.DEVNULL, stderr=stderr)
        control = Control(env["OMBRIX_CONTROL"], ombrix)
        control.wait(lambda s: s["outputDevices"], "the output devices")
        control.wait(lambda s: any(a["id"] == CALL_ID for a in s["apps"]), "the call application", refresh=True)
        if options.provider != "mock":
            control.request({"op": "set", "settings": {"serviceUrl": f"https://127.0.0.1:{account_port}"}})
            control.request({"op": "requestCode", "email": "test@example.org"})
            control.wait(lambda s: s["codeSentTo"], "the code to be sent")
            control.request({"op": "verify", "code": LOGIN_CODE})
            control.wait(lambda s: s["signedIn"] and s["account"], "signing in")
        control.request({"op": "set", "settings": {"provider": options.provider, "listenTarget": CALL_ID,
                                                   "listenEnabled": True, "speakEnabled": True}})
        settings = control.state["settings"]
        log(f"settings: provider {settings['provider']}, silence gate {settings['silenceGate']}, "
            f"speak output {settings['speakOutputUID']}")
        control.request({"op": "start"})
        control.wait(lambda s: lines(s) == ("Attivo", "Attivo"), "both directions active")
        control.wait(lambda s: s["tailActive"], "a translation playing")

        # Start-up, the first connections and the first phrases are not the steady state.
        time.sleep(options.warmup)
        pid = ombrix.pid
        first = sample(pid)
        counts_first = read_counts(counts_file)
        samples = [first]
        seen = {lines(control.state)}
        end = first["time"] + options.minutes * 60
        while time.monotonic() < end:
            time.sleep(min(options.every, max(0.0, end - time.monotonic())))
            if ombrix.poll() is not None:
                raise Failure(f"ombrix ended during the run with {ombrix.returncode}")
            state = control.request({"op": "state"})["state"]
            seen.add(lines(state))
            s = sample(pid)
            samples.append(s)
            elapsed = s["time"] - first["time"]
            share = (s["ticks"] - first["ticks"]) / TICKS / elapsed * 100 if elapsed > 0 else 0
            log(f"{elapsed / 60:5.1f} min  cpu {share:5.2f} %  rss {s['rss_kb'] / 1024:6.1f} MB  fds {s['fds']}  "
                f"threads {s['threads']}  listen '{state['listen']['line']}' speak '{state['speak']['line']}'  "
                f"minutes in/out {state['minutesIn']:.1f}/{state['minutesOut']:.1f}")
        last = samples[-1]
        counts = read_counts(counts_file)
        final_state = control.state
        culprits = symbolize(pid, counts["stacks"]) if counts and counts["stacks"] else []
        control.request({"op": "stop"})
        control.wait(lambda s: not s["running"], "the stop")
        control.request({"op": "quit"})
        try:
            code = ombrix.wait(30)
        except subprocess.TimeoutExpired:
            code = None
        report(options, first, last, samples, counts_first, counts, culprits, seen, final_state, code)
    finally:
        if ombrix and ombrix.poll() is None:
            ombrix.kill()
            ombrix.wait()
        for p in processes:
            if p.stdin:  # a peer: the end of its input ends it
                p.stdin.close()
                p.terminate()
                p.wait()
            else:
                stop_group(p)
        if options.keep:
            log(f"kept {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


def slope_mb_per_hour(samples):
    """Least-squares slope of the resident memory over the second half of the run."""
    half = samples[len(samples) // 2:]
    if len(half) < 3:
        return 0.0
    xs = [s["time"] for s in half]
    ys = [s["rss_kb"] / 1024 for s in half]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    den = sum((x - mx) ** 2 for x in xs)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / den * 3600 if den else 0.0


def report(options, first, last, samples, counts_first, counts, culprits, seen, state, code):
    elapsed = last["time"] - first["time"]
    share = (last["ticks"] - first["ticks"]) / TICKS / elapsed * 100
    goal = 3.0 if options.provider == "mock" else 5.0
    server = os.environ.get("OMBRIX_TEST_SOUND_SERVER", "?")
    loadavg = open("/proc/loadavg").read().split()[:3]
    print(f"ombrix load: {server}, provider {options.provider}"
          f"{'' if options.provider == 'mock' else ' (test peer over TLS)'}, both directions, "
          f"{elapsed / 60:.1f} min measured after {options.warmup:.0f} s of warm-up; "
          f"machine load average at the end {' '.join(loadavg)}")
    print(f"  cpu of the process      {share:.2f} % of one core (goal under {goal:.0f} %)")
    print(f"  resident memory         {first['rss_kb'] / 1024:.1f} MB at the start, {last['rss_kb'] / 1024:.1f} MB at "
          f"the end (max {max(s['rss_kb'] for s in samples) / 1024:.1f}; anonymous {first['anon_kb'] / 1024:.1f} -> "
          f"{last['anon_kb'] / 1024:.1f}; second-half trend {slope_mb_per_hour(samples):+.2f} MB/h; goal under 80 MB)")
    print(f"  file descriptors        {first['fds']} at the start, {last['fds']} at the end")
    print(f"  threads                 {first['threads']} at the start, {last['threads']} at the end")
    if counts is None:
        print("  audio-thread allocations  not counted (no counter file: was the counter preloaded?)")
    else:
        before = counts_first or {k: 0 for k in COUNT_FIELDS}
        print(f"  audio-thread allocations {counts['news'] + counts['mallocs']} in the whole run "
              f"({counts['news']} operator new, {counts['mallocs']} malloc family, {counts['frees']} free, "
              f"{counts['bytes']} bytes) over {counts['callbacks']} stream callbacks; "
              f"{counts['news'] + counts['mallocs'] - before['news'] - before['mallocs']} while measured; goal 0")
        for where in culprits:
            print(f"    at {where}")
    busiest = sorted(((t - first["per_thread"].get(n, 0), n) for n, t in last["per_thread"].items()), reverse=True)
    print("  busiest threads         " + ", ".join(
        f"{n} {t / TICKS / elapsed * 100:.2f} %" for t, n in busiest[:5] if t > 0))
    print(f"  states seen             " + "; ".join(f"{l} / {s}" for l, s in sorted(seen)))
    print(f"  translated              {state['minutesIn']:.1f} min in, {state['minutesOut']:.1f} min out; "
          f"exit status {code}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--server", choices=("pulseaudio", "pipewire"), default="pulseaudio")
    parser.add_argument("--provider", choices=("mock", "gemini", "openai"), default="mock")
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--warmup", type=float, default=20, help="seconds between start and the first sample")
    parser.add_argument("--every", type=float, default=30, help="seconds between samples")
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder (logs)")
    options = parser.parse_args()
    # Started in the background, SIGINT is ignored: let SIGTERM end the run through the cleanup.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    if not os.environ.get("OMBRIX_TEST_SOUND_SERVER"):
        harness = os.path.join(ROOT, "tests/support/sound_with_server.sh")
        os.execv(harness, [harness, options.server, sys.executable, os.path.abspath(__file__), *sys.argv[1:]])
    try:
        run(options)
    except Failure as e:
        print(f"load.py: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
