"""Load on a running web console from outside the engine: STREAMS live streams held open and
POLLERS clients each asking /api/status and /metrics once a second, for SECONDS.
   python3 bench/web_load.py PORT USER PASSWORD [STREAMS [POLLERS [SECONDS]]]
Prints one line at the end: the requests answered, the slowest answer and the events streamed."""
import http.client
import json
import sys
import threading
import time

port, user, password = int(sys.argv[1]), sys.argv[2], sys.argv[3]
streams = int(sys.argv[4]) if len(sys.argv) > 4 else 5
pollers = int(sys.argv[5]) if len(sys.argv) > 5 else 20
seconds = float(sys.argv[6]) if len(sys.argv) > 6 else 30
host = {'Host': '127.0.0.1:%d' % port}

c = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
c.request('POST', '/api/login', json.dumps({'user': user, 'password': password}),
          dict(host, **{'Content-Type': 'application/json'}))
r = c.getresponse()
r.read()
cookie = r.getheader('Set-Cookie').split(';')[0]
headers = dict(host, Cookie=cookie)
end = time.monotonic() + seconds
answered = [0]
slowest = [0.0]
events = [0]
lock = threading.Lock()


def stream():
    s = http.client.HTTPConnection('127.0.0.1', port, timeout=seconds + 30)
    s.request('GET', '/api/live', headers=headers)
    resp = s.getresponse()
    while time.monotonic() < end:
        line = resp.fp.readline()
        if not line:
            break
        if line.startswith(b'event:'):
            with lock:
                events[0] += 1
    s.close()


def poll():
    conn = http.client.HTTPConnection('127.0.0.1', port, timeout=10)
    while time.monotonic() < end:
        started = time.monotonic()
        for path in ('/api/status', '/metrics'):
            t = time.monotonic()
            conn.request('GET', path, headers=headers)
            conn.getresponse().read()
            with lock:
                answered[0] += 1
                slowest[0] = max(slowest[0], time.monotonic() - t)
        time.sleep(max(0.0, 1.0 - (time.monotonic() - started)))


threads = [threading.Thread(target=stream) for _ in range(streams)] + [threading.Thread(target=poll) for _ in range(pollers)]
for t in threads:
    t.daemon = True
    t.start()
for t in threads:
    t.join(seconds + 35)
print('web load: %d requests answered, slowest %.1f ms, %d events streamed' % (answered[0], slowest[0] * 1000, events[0]))
