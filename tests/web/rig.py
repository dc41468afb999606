"""The real tarvo-engined with its web console on 127.0.0.1, against the switcher simulator, in a
folder of its own: what the console's tests drive."""
import datetime
import http.client
import json
import os
import queue
import re
import shutil
import sqlite3
import subprocess
import tempfile
import threading
import time

PASSWORD = 'a good password'


class Lines:
    """A child's standard output, line by line, kept as it comes."""

    def __init__(self, stream):
        self.lines = []
        self._q = queue.Queue()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            line = raw.decode('utf-8', 'replace').rstrip('\n')
            self.lines.append(line)
            self._q.put(line)

    def wait_for(self, pattern, timeout=10.0):
        deadline = time.monotonic() + timeout
        for line in list(self.lines):
            m = re.search(pattern, line)
            if m:
                return m
        while time.monotonic() < deadline:
            try:
                line = self._q.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            m = re.search(pattern, line)
            if m:
                return m
        raise AssertionError('no line matching %r in %.0f s' % (pattern, timeout))


def local_time(seconds_from_now):
    t = datetime.datetime.now() + datetime.timedelta(seconds=seconds_from_now)
    return t.weekday(), t.strftime('%H:%M:%S'), t


class Rig:
    def __init__(self, bin_dir, engine_args=(), rows=(), users=(('ann', 'editor'), ('bob', 'viewer'))):
        self.bin = bin_dir
        self.dir = tempfile.mkdtemp(prefix='tarvo-web-')
        self.folder = os.path.join(self.dir, 'folder')
        self.sim = subprocess.Popen([os.path.join(bin_dir, 'tarvo-switcher-sim'), '--port', '0', '--quiet'],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.sim_out = Lines(self.sim.stdout)
        sim_port = int(self.sim_out.wait_for(r' LISTEN 127\.0\.0\.1 (\d+)').group(1))
        engined = os.path.join(bin_dir, 'tarvo-engined')
        subprocess.run([engined, '--init', self.folder], check=True, stdout=subprocess.DEVNULL)
        self.db = os.path.join(self.folder, 'TarvoAutomation.mdb')
        with sqlite3.connect(self.db) as c:
            c.execute("UPDATE Server SET IPAddr='127.0.0.1', IPPort=?", (sim_port,))
            for row in rows:
                cols = ', '.join(row)
                marks = ', '.join('?' for _ in row)
                c.execute('INSERT INTO Automation (%s) VALUES (%s)' % (cols, marks), tuple(row.values()))
        for name, role in users:
            subprocess.run([engined, '--add-user', name, '--role', role, self.folder], input=(PASSWORD + '\n').encode(),
                           check=True, stdout=subprocess.DEVNULL)
        self.engine = subprocess.Popen([engined, '--listen', '127.0.0.1:0', *engine_args, self.folder],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.out = Lines(self.engine.stdout)
        self.port = int(self.out.wait_for(r'Web console at https?://127\.0\.0\.1:(\d+)/').group(1))
        self.base = 'http://127.0.0.1:%d' % self.port

    def sim_command(self, line):
        self.sim.stdin.write((line + '\n').encode())
        self.sim.stdin.flush()

    def request(self, method, path, body=None, headers=None, cookie=None, timeout=10):
        h = {'Host': '127.0.0.1:%d' % self.port}
        if cookie:
            h['Cookie'] = cookie
        if body is not None and not isinstance(body, (bytes, str)):
            body = json.dumps(body)
            h['Content-Type'] = 'application/json'
        h.update(headers or {})
        conn = http.client.HTTPConnection('127.0.0.1', self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=h)
            r = conn.getresponse()
            return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
        finally:
            conn.close()

    def sign_in(self, user='ann', password=PASSWORD):
        status, headers, body = self.request('POST', '/api/login', {'user': user, 'password': password})
        if status != 200:
            return status, None, None, headers
        cookie = headers['set-cookie'].split(';')[0]
        return status, cookie, json.loads(body)['csrf'], headers

    def json(self, path, cookie):
        status, _, body = self.request('GET', path, cookie=cookie)
        assert status == 200, (path, status, body)
        return json.loads(body)

    def close(self):
        if self.engine.poll() is None:
            self.engine.terminate()
            try:
                self.engine.wait(10)
            except subprocess.TimeoutExpired:
                self.engine.kill()
                self.engine.wait()
        if self.sim.poll() is None:
            try:
                self.sim_command('quit')
                self.sim.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                self.sim.kill()
                self.sim.wait()
        for f in (self.sim.stdin, self.sim.stdout, self.engine.stdout):
            try:
                f.close()
            except OSError:
                pass
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_until(check, timeout=10.0, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(step)
    return check()
