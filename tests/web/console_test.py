"""The web console of the real tarvo-engined against the simulator: sign-in, sessions, the checks
on every request, bounds, /metrics and /healthz.
   python3 console_test.py BIN_DIR"""
import http.client
import json
import os
import shutil
import socket
import subprocess
import sys
import time
import unittest

from rig import PASSWORD, Rig, local_time, wait_until

BIN = sys.argv.pop(1) if len(sys.argv) > 1 else 'build/bin'
PROMTOOL = '/usr/bin/promtool'


def metric(text, name):
    """The sum of a metric's samples whose line starts with `name` (labels included)."""
    total = 0.0
    for line in text.splitlines():
        if line.startswith(name) and not line.startswith('#'):
            total += float(line.rsplit(' ', 1)[1])
    return total


class Console(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        day, at, _ = local_time(6)
        day2, at2, _ = local_time(7)
        cls.rig = Rig(BIN, engine_args=['--session-idle', '3'], rows=[
            {'Number': 1, 'Day': day, 'Time': at, 'Title': 'Take for the web', 'Type': 0, 'Active': 1,
             'xcontrol': 1, 'SourceChan': 3, 'DestChan': 1},
            {'Number': 2, 'Day': day2, 'Time': at2, 'Title': 'Take beyond the switcher', 'Type': 0, 'Active': 1,
             'xcontrol': 1, 'SourceChan': 20000, 'DestChan': 1},
        ])
        cls.rig.out.wait_for('Switcher Connected')
        # Before the two rows fall due.
        cls.at_start = cls.rig.request('GET', '/metrics')[2].decode()

    @classmethod
    def tearDownClass(cls):
        cls.rig.close()

    def test_sign_in_refuses_a_wrong_password_and_locks_out_after_repeats(self):
        r = self.rig
        status, cookie, csrf, headers = r.sign_in('ann')
        self.assertEqual(status, 200)
        flags = headers['set-cookie']
        for flag in ('HttpOnly', 'SameSite=Strict', 'Max-Age=3'):
            self.assertIn(flag, flags)
        self.assertNotIn('Secure', flags, 'no TLS here')
        self.assertEqual(r.json('/api/session', cookie)['role'], 'editor')

        cases = [
            ('wrong password', {'user': 'bob', 'password': 'not it'}, 401),
            ('unknown user', {'user': 'nobody', 'password': PASSWORD}, 401),
            ('no password', {'user': 'bob'}, 400),
            ('not JSON', 'user=bob&password=x', 415),
        ]
        for name, body, expected in cases:
            with self.subTest(name):
                headers = {'Content-Type': 'application/x-www-form-urlencoded'} if isinstance(body, str) else None
                status, _, _ = r.request('POST', '/api/login', body, headers=headers)
                self.assertEqual(status, expected)
        # bob has failed once; four more and even the right password waits.
        for _ in range(4):
            self.assertEqual(r.sign_in('bob', 'still not it')[0], 401)
        status, _, _, headers = r.sign_in('bob', PASSWORD)
        self.assertEqual(status, 429)
        self.assertGreater(int(headers['retry-after']), 200)
        self.assertEqual(r.sign_in('ann')[0], 200, 'another user from the same address is not locked out')

    def test_a_session_ends_when_unused_and_on_sign_out(self):
        r = self.rig
        _, cookie, csrf, _ = r.sign_in('ann')
        for _ in range(3):  # used every 2 s: it lives on past its 3 s
            time.sleep(2)
            self.assertEqual(r.request('GET', '/api/status', cookie=cookie)[0], 200)
        time.sleep(3.5)
        self.assertEqual(r.request('GET', '/api/status', cookie=cookie)[0], 401)
        _, cookie, csrf, _ = r.sign_in('ann')
        self.assertEqual(r.request('POST', '/api/logout', headers={'X-CSRF-Token': csrf}, cookie=cookie)[0], 200)
        self.assertEqual(r.request('GET', '/api/status', cookie=cookie)[0], 401)

    def test_every_request_is_checked_for_session_token_and_host(self):
        r = self.rig
        _, cookie, csrf, _ = r.sign_in('ann')
        cases = [
            ('page without a session', 'GET', '/', {}, None, 303),
            ('api without a session', 'GET', '/api/status', {}, None, 401),
            ('live without a session', 'GET', '/api/live', {}, None, 401),
            ('change without a session', 'POST', '/api/logout', {'X-CSRF-Token': csrf}, None, 401),
            ('change without the token', 'POST', '/api/logout', {}, cookie, 403),
            ('change with a wrong token', 'POST', '/api/logout', {'X-CSRF-Token': csrf[:-1] + 'x'}, cookie, 403),
            ('another session\'s cookie', 'GET', '/api/status', {}, 'tarvo_session=' + 'A' * 43, 401),
            ('another host', 'GET', '/healthz', {'Host': 'console.example.com'}, cookie, 421),
            ('no host', 'GET', '/api/status', {'Host': ''}, cookie, 421),
            ('the page signed in', 'GET', '/', {}, cookie, 200),
            ('health needs no session', 'GET', '/healthz', {}, None, 200),
            ('metrics need no session', 'GET', '/metrics', {}, None, 200),
            ('unknown', 'GET', '/api/nothing', {}, cookie, 404),
            ('head of a page', 'HEAD', '/api/status', {}, cookie, 200),
        ]
        for name, method, path, headers, with_cookie, expected in cases:
            with self.subTest(name):
                status, answer, _ = r.request(method, path, headers=headers, cookie=with_cookie)
                self.assertEqual(status, expected)
                self.assertEqual(answer.get('x-frame-options'), 'DENY')
                self.assertIn("frame-ancestors 'none'", answer.get('content-security-policy', ''))

    def test_oversized_and_slow_requests_are_refused_and_hold_nothing(self):
        r = self.rig
        cases = [
            ('long head', b'GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: ' + b'a' * 20000 + b'\r\n\r\n', 431),
            ('long body', b'POST /api/login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10000000\r\n\r\n', 413),
            ('long line', b'GET /' + b'a' * 9000 + b' HTTP/1.1\r\n\r\n', 414),
            ('garbage', b'\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n', 400),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                s = socket.create_connection(('127.0.0.1', r.port), timeout=5)
                s.sendall(data)
                answer = s.recv(4096)
                self.assertTrue(answer.startswith(b'HTTP/1.1 %d ' % expected), answer[:60])
                s.close()
        # Many requests in one go are answered one after the other, every one.
        many = socket.create_connection(('127.0.0.1', r.port), timeout=10)
        many.sendall(b'GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' * 2000)
        got = b''
        while got.count(b'HTTP/1.1 200 ') < 2000:
            piece = many.recv(1 << 16)
            self.assertTrue(piece, 'closed after %d answers' % got.count(b'HTTP/1.1 200 '))
            got += piece
        many.close()
        # A request that never ends: the others are answered meanwhile, it is closed at its deadline.
        slow = socket.create_connection(('127.0.0.1', r.port), timeout=15)
        slow.sendall(b'GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n')
        started = time.monotonic()
        while time.monotonic() - started < 3:
            self.assertEqual(r.request('GET', '/healthz', timeout=2)[0], 200)
            slow.sendall(b'X-Drip: 1\r\n')  # a byte now and then does not keep it open
            time.sleep(0.5)
        answer = slow.recv(4096)
        self.assertTrue(answer.startswith(b'HTTP/1.1 408 '), answer[:60])
        self.assertLess(time.monotonic() - started, 12)
        slow.close()
        # More connections than the console keeps: the rest are told so.
        idle = [socket.create_connection(('127.0.0.1', r.port), timeout=5) for _ in range(70)]
        try:
            told = 0
            for s in idle[-6:]:
                s.settimeout(2)
                try:
                    told += s.recv(64).startswith(b'HTTP/1.1 503 ')
                except socket.timeout:
                    pass
            self.assertGreaterEqual(told, 1)
        finally:
            for s in idle:
                s.close()
        wait_until(lambda: r.request('GET', '/healthz')[0] == 200, 5)

    def test_metrics_are_valid_and_move_with_takes_refusals_and_link_losses(self):
        r = self.rig
        _, cookie, _, _ = r.sign_in('ann')
        first = self.at_start
        check = subprocess.run([PROMTOOL, 'check', 'metrics'], input=first.encode(), capture_output=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        for name in ('tarvo_link_up{link="master"}', 'tarvo_build_info', 'tarvo_decision_lateness_seconds_bucket',
                     'tarvo_trigger_latency_seconds_bucket', 'tarvo_last_tick_timestamp_seconds',
                     'tarvo_clock_synchronised', 'tarvo_database_locked', 'tarvo_runs_in_progress'):
            self.assertIn(name, first)
        # The two rows fall due within a few seconds of the start: one taken, one refused.
        wait_until(lambda: any('Take beyond the switcher' in l['title'] for l in
                               r.json('/api/history?since=0', cookie)['lines']), 15)
        time.sleep(0.5)
        second = r.request('GET', '/metrics')[2].decode()
        self.assertGreater(metric(second, 'tarvo_takes_sent_total{link="master"}'),
                           metric(first, 'tarvo_takes_sent_total{link="master"}'))
        self.assertGreater(metric(second, 'tarvo_events_total{outcome="refused"}'),
                           metric(first, 'tarvo_events_total{outcome="refused"}'))
        history = r.json('/api/history?since=0', cookie)['lines']
        self.assertTrue(any(l['red'] and 'Take beyond the switcher' in l['title'] for l in history), history)
        self.assertTrue(any(not l['red'] and 'Take for the web' in l['title'] for l in history), history)
        later = r.json('/api/history?since=%d' % history[-1]['seq'], cookie)['lines']
        self.assertEqual(later, [])

        # The engine connects again at its next tick, so the link may be down for less than one
        # poll here: the loss is seen in the count, and the status shows the link back.
        losses = lambda text: metric(text, 'tarvo_link_losses_total{link="master"}')
        r.sim_command('close')
        self.assertTrue(wait_until(lambda: losses(r.request('GET', '/metrics')[2].decode()) > losses(first), 10))
        self.assertTrue(wait_until(lambda: r.json('/api/status', cookie)['master']['up'], 15), 'the link comes back')
        third = r.request('GET', '/metrics')[2].decode()
        self.assertEqual(losses(third), losses(first) + 1)

    def test_health_turns_503_while_the_database_cannot_be_read(self):
        r = self.rig
        self.assertEqual(r.request('GET', '/healthz')[0], 200)
        saved = r.db + '.saved'
        os.rename(r.db, saved)
        try:
            with open(r.db, 'wb') as f:
                f.write(b'this is no database' * 100)
            self.assertTrue(wait_until(lambda: r.request('GET', '/healthz')[0] == 503, 10))
            status, _, body = r.request('GET', '/healthz')
            self.assertIn(b'database', body)
        finally:
            os.replace(saved, r.db)
        self.assertTrue(wait_until(lambda: r.request('GET', '/healthz')[0] == 200, 10))

    def test_the_api_gives_preview_check_logs_and_a_live_stream(self):
        r = self.rig
        _, cookie, _, _ = r.sign_in('ann')
        status = r.json('/api/status', cookie)
        self.assertIn('Total Events', status['events'])
        self.assertIn('since', status['master'])
        preview = r.json('/api/preview?hours=24', cookie)
        self.assertIn('timed', preview)
        check = r.json('/api/check', cookie)
        self.assertTrue(any(p['number'] == 2 for p in check['problems']), check)
        self.assertEqual(r.request('GET', '/api/preview?hours=0', cookie=cookie)[0], 400)
        code, headers, body = r.request('GET', '/api/logs?log=error&download=1', cookie=cookie)
        self.assertEqual(code, 200)
        self.assertIn('attachment', headers['content-disposition'])
        today = time.strftime('%Y-%m-%d')
        code, _, body = r.request('GET', '/api/logs?log=activity&day=%s&filter=TAKE' % today, cookie=cookie)
        lines = body.decode().splitlines()
        self.assertEqual(code, 200)
        self.assertTrue(lines and all('take' in l.lower() for l in lines), lines)
        self.assertTrue(any('Send Take' in l for l in lines), lines)
        self.assertEqual(r.request('GET', '/api/logs?log=activity&day=1999-01-01', cookie=cookie)[2], b'')
        self.assertEqual(r.request('GET', '/api/logs?log=../../etc/passwd', cookie=cookie)[0], 400)
        self.assertEqual(r.request('GET', '/api/logs?log=activity&day=../x', cookie=cookie)[0], 400)

        s = socket.create_connection(('127.0.0.1', r.port), timeout=5)
        s.sendall(b'GET /api/live?since=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: ' + cookie.encode() + b'\r\n\r\n')
        got = b''
        while b'event: status' not in got or b'\n\n' not in got.split(b'event: status', 1)[1]:
            got += s.recv(65536)
        self.assertIn(b'text/event-stream', got)
        s.close()


class ConsoleOverTls(unittest.TestCase):
    def test_it_answers_over_https_with_a_secure_cookie(self):
        import ssl
        import tempfile
        keys = tempfile.mkdtemp(prefix='tarvo-tls-')
        cert, key = os.path.join(keys, 'cert.pem'), os.path.join(keys, 'key.pem')
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                        '-days', '1', '-subj', '/CN=127.0.0.1'], check=True, capture_output=True)
        token = os.path.join(keys, 'metrics.token')
        with open(token, 'w') as f:
            f.write('a-token-for-prometheus-only\n')
        rig = Rig(BIN, engine_args=['--tls-cert', cert, '--tls-key', key, '--metrics-token-file', token],
                  users=(('ann', 'viewer'),))
        try:
            rig.out.wait_for(r'Web console at https://127\.0\.0\.1:%d/' % rig.port)
            context = ssl.create_default_context(cafile=cert)
            context.check_hostname = False
            c = http.client.HTTPSConnection('127.0.0.1', rig.port, timeout=10, context=context)
            c.request('POST', '/api/login', json.dumps({'user': 'ann', 'password': PASSWORD}),
                      {'Host': '127.0.0.1:%d' % rig.port, 'Content-Type': 'application/json'})
            r = c.getresponse()
            r.read()
            self.assertEqual(r.status, 200)
            self.assertIn('Secure', r.getheader('Set-Cookie'))
            self.assertIn('max-age', r.getheader('Strict-Transport-Security'))
            # /metrics with a token of its own.
            for given, expected in ((None, 401), ('Bearer wrong-token', 401), ('Bearer a-token-for-prometheus-only', 200)):
                h = {'Host': '127.0.0.1:%d' % rig.port}
                if given:
                    h['Authorization'] = given
                c.request('GET', '/metrics', headers=h)
                m = c.getresponse()
                m.read()
                self.assertEqual(m.status, expected, given)
            c.close()
            plain = socket.create_connection(('127.0.0.1', rig.port), timeout=5)
            plain.sendall(b'GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n')
            plain.settimeout(12)
            try:
                self.assertNotIn(b'200 OK', plain.recv(4096), 'plain HTTP is not answered under TLS')
            except (socket.timeout, ConnectionResetError):
                pass
            plain.close()
        finally:
            rig.close()
            shutil.rmtree(keys, ignore_errors=True)


if __name__ == '__main__':
    unittest.main(verbosity=2)
