"""The schedule editor of the web console in a real browser (headless Chromium driven by Selenium)
on the real tarvo-engined against the simulator: events of every kind made through the forms run
at their second, a bad value is refused at its field, two sessions editing one row see both
versions, a change made with sqlite3 shows in the history, an undo brings a row back and it runs,
and a viewer can change nothing.
   python3 editor_test.py BIN_DIR [SCREENSHOT_DIR]"""
import datetime
import json
import os
import re
import socket
import sqlite3
import subprocess
import sys
import threading
import time
import tty
import unittest

from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select
from selenium.webdriver.support.ui import WebDriverWait as _Wait


def WebDriverWait(driver, timeout, **kwargs):
    """A wait that looks again when the page has just drawn the element anew (the form and the
    table are redrawn as answers come in)."""
    return _Wait(driver, timeout, ignored_exceptions=(StaleElementReferenceException,), **kwargs)

from rig import PASSWORD, Rig, local_time, wait_until

BIN = sys.argv.pop(1) if len(sys.argv) > 1 else 'build/bin'
SHOTS = sys.argv.pop(1) if len(sys.argv) > 1 else None
DAYS = ['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday']
AHEAD = 8  # seconds between filling a timed form and its time: the form's typing and the save
NEVER = '24:00:00'


def input_alphas():
    """An input alphas file of two names of eight letters, in the layout with attribute bytes."""
    words = b''.join(v.to_bytes(2, 'little') for v in (200, 8, 0, 2))
    return words + b'One     Two     ' + bytes(516)


def seconds_from(at, spread=1):
    """The clock texts of `at` and the `spread` seconds after it (a run logs in its second or the next)."""
    t = datetime.datetime.strptime(at, '%H:%M:%S')
    return {(t + datetime.timedelta(seconds=k)).strftime('%H:%M:%S') for k in range(spread + 1)}


class Peers:
    """The far ends of the messages: a TCP listener, a UDP socket and a pty as COM3."""

    def __init__(self, folder):
        self.tcp_data = b''
        self.udp_data = b''
        self.serial_data = b''
        self.tcp = socket.socket()
        self.tcp.bind(('127.0.0.1', 0))
        self.tcp.listen(4)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp.bind(('127.0.0.1', 0))
        threading.Thread(target=self._accept, daemon=True).start()
        threading.Thread(target=self._datagrams, daemon=True).start()
        self.pty = None
        try:
            master, slave = os.openpty()
            tty.setraw(slave)
            os.symlink(os.ttyname(slave), os.path.join(folder, 'COM3'))
            self.pty = (master, slave)  # the slave held open: the pair lives between the engine's opens
            threading.Thread(target=self._serial, daemon=True).start()
        except OSError as e:
            self.no_pty = str(e)

    def _accept(self):
        while True:
            try:
                c, _ = self.tcp.accept()
            except OSError:
                return
            threading.Thread(target=self._read, args=(c,), daemon=True).start()

    def _read(self, c):
        while True:
            piece = c.recv(4096)
            if not piece:
                return
            self.tcp_data += piece

    def _datagrams(self):
        while True:
            try:
                self.udp_data += self.udp.recv(4096)
            except OSError:
                return

    def _serial(self):
        while True:
            try:
                piece = os.read(self.pty[0], 4096)
            except OSError:
                return
            if not piece:
                return
            self.serial_data += piece

    def close(self):
        self.tcp.close()
        self.udp.close()
        if self.pty:
            for fd in self.pty:
                os.close(fd)


class Editor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # A Mon-Fri group that two sessions edit, and one row that sqlite3 edits, all at a time
        # half a day away (a timed row at 24:00:00 never runs, and a save of it is refused).
        later = local_time(12 * 3600)[1]
        rows = [{'Number': 100 + d, 'Day': d, 'Time': later, 'Title': 'Shared news', 'Type': 0, 'Active': 1,
                 'xcontrol': 1, 'SourceChan': 2, 'DestChan': 2} for d in range(5)]
        rows.append({'Number': 200, 'Day': 6, 'Time': later, 'Title': 'Edited outside', 'Type': 0, 'Active': 1,
                     'scontrol': 1, 'Salvo': 7})
        cls.rig = Rig(BIN, rows=rows)
        cls.peers = Peers(cls.rig.folder)
        with open(os.path.join(cls.rig.folder, 'inputs.alp'), 'wb') as f:
            f.write(input_alphas())
        options = webdriver.ChromeOptions()
        options.binary_location = '/usr/bin/chromium'
        for a in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                  '--window-size=1280,900', '--user-data-dir=' + os.path.join(cls.rig.dir, 'profile')):
            options.add_argument(a)
        cls.d = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        cls.rig.out.wait_for('Switcher Connected', 15)
        cls.sign_in('ann')

    @classmethod
    def tearDownClass(cls):
        cls.d.quit()
        cls.rig.close()
        cls.peers.close()

    @classmethod
    def sign_in(cls, user):
        d = cls.d
        d.get(cls.rig.base + '/login')
        d.find_element(By.ID, 'user').send_keys(user)
        d.find_element(By.ID, 'password').send_keys(PASSWORD)
        d.find_element(By.ID, 'go').click()
        WebDriverWait(d, 10).until(lambda d: d.find_element(By.ID, 'who').text.startswith(user))

    # ---- the page ----
    def q(self, css):
        return self.d.find_element(By.CSS_SELECTOR, css)

    def view(self, name):
        self.q('#tab-' + name).click()
        if name == 'events':
            WebDriverWait(self.d, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, '#ev-body tr'))

    def dialog_open(self):
        return self.d.execute_script("return document.getElementById('ed-dialog').open")

    def fill(self, values, days=None):
        """Sets the form's fields in the order given: a selector first, then the fields it shows."""
        if days is not None:
            for day in DAYS:
                box = self.q('#ed-form [data-day="%s"]' % day)
                if box.is_selected() != (day in days):
                    box.click()
        for field, value in values.items():
            e = self.q('#ed-form [data-field="%s"]' % field)
            if e.tag_name == 'select':
                Select(e).select_by_value(str(value))
            else:
                e.clear()
                e.send_keys(str(value))

    def save(self):
        self.q('#ed-save').click()
        try:
            WebDriverWait(self.d, 10).until(lambda d: not self.dialog_open())
        except TimeoutException:
            self.fail('not saved: ' + self.q('#ed-dialog').text)

    def new_event(self, title, days, values):
        self.q('#ev-new').click()
        WebDriverWait(self.d, 5).until(lambda d: self.dialog_open())
        self.fill(dict({'title': title}, **values), days)

    def line(self, title):
        return self.d.execute_script(
            "return [...document.querySelectorAll('#ev-body tr')].find((tr) => "
            "tr.querySelector('[data-col=\"title\"]').textContent === arguments[0]) || null", title)

    def titles(self):
        return self.d.execute_script(
            "return [...document.querySelectorAll('#ev-body td[data-col=\"title\"]')].map((td) => td.textContent)")

    def open_line(self, title):
        WebDriverWait(self.d, 10).until(lambda d: self.line(title))
        self.line(title).click()
        WebDriverWait(self.d, 5).until(lambda d: self.dialog_open())

    def shot(self, name):
        if SHOTS:
            os.makedirs(SHOTS, exist_ok=True)
            self.d.save_screenshot(os.path.join(SHOTS, name))

    # ---- the engine ----
    def activity(self):
        """(time, text) of each line of the activity log."""
        try:
            with open(os.path.join(self.rig.folder, 'Tally.dat'), encoding='utf-8', errors='replace') as f:
                text = f.read()
        except OSError:
            return []
        return [(m.group(1), m.group(2).strip()) for m in re.finditer(r' - (\d\d:\d\d:\d\d) +(.*)', text)]

    def ran_at(self, text, timeout=20):
        found = wait_until(lambda: [t for t, line in self.activity() if line == text], timeout, 0.2)
        self.assertTrue(found, 'no "%s" in the activity log:\n%s' % (text, '\n'.join(l for _, l in self.activity())))
        return found

    def api(self, user='ann'):
        _, cookie, csrf, _ = self.rig.sign_in(user)
        return cookie, csrf

    def post(self, path, body, cookie, csrf):
        status, _, answer = self.rig.request('POST', path, body, headers={'X-CSRF-Token': csrf}, cookie=cookie)
        return status, answer

    def rows_of(self, cookie):
        return {r['form']['number']: r for r in self.rig.json('/api/events', cookie)['rows']}

    # ---- the cases ----
    def test_a_events_of_every_kind_made_in_the_forms_run_at_their_second(self):
        self.view('events')
        p = self.peers
        timed = [
            ('Editor take', {'take.mode': 'take', 'take.source': 5, 'take.output': 12}, 'Send Take - In:0005-->Out:0012'),
            ('Editor salvo', {'salvo.mode': 'fire', 'salvo.number': 3}, 'Send Execute Salvo Number 3'),
            ('Editor relay', {'relay.mode': 'latch', 'relay.relay': 2}, 'Latch Relay #0002'),
            ('Editor opto', {'opto.mode': 'on', 'opto.opto': 3}, 'Opto On #0003'),
            # The gain line names the channel less one, as the switcher counts it.
            ('Editor gain', {'gain.mode': 'source', 'gain.channel': 4, 'gain.level': 800}, 'Source Gain Change Chan. 0003'),
            ('Editor select', {'source_select.mode': 'select', 'source_select.source': 10, 'source_select.device': 3},
             'Sent Source Select: Device ID - 3, Source - 10'),
            ('Editor TCP', {'message.content': 'text', 'message.via': 'tcp', 'message.text': 'NEWS START^M',
                            'message.address': '127.0.0.1', 'message.port': p.tcp.getsockname()[1]},
             'Message Sent to 127.0.0.1 Title:Editor TCP'),
            ('Editor UDP', {'message.content': 'text', 'message.via': 'udp', 'message.text': 'ON AIR^M',
                            'message.address': '127.0.0.1', 'message.port': p.udp.getsockname()[1]},
             'Message Sent to 127.0.0.1 Title:Editor UDP'),
            ('Editor serial', {'message.content': 'text', 'message.via': 'serial', 'message.text': 'TALLY 1^M',
                               'message.com': 3, 'message.baud': 9600}, 'Message Sent to comm:3 Message: TALLY 1^M'),
            ('Editor upload', {'upload.kind': 'input alphas', 'upload.file': 'inputs.alp'}, 'Input Alphas Changed'),
        ]
        if not p.pty:
            print('serial skipped: no pty here (%s)' % p.no_pty, file=sys.stderr)
            timed = [t for t in timed if t[0] != 'Editor serial']
        due = {}
        for title, values, _ in timed:
            day, at, _ = local_time(AHEAD)
            self.new_event(title, [DAYS[day]], dict({'time': at}, **values))
            self.save()
            due[title] = at
        # The console's coming-up panel was asked again: the new rows are there without a reload.
        WebDriverWait(self.d, 5).until(
            lambda d: 'Editor upload' in d.find_element(By.ID, 'upcoming').get_attribute('textContent'))

        today = DAYS[local_time(0)[0]]
        # Opto 5 on, every day: seven rows of one form, one line in the table.
        self.new_event('Editor opto trigger', DAYS, {'trigger': 'opto on', 'trigger_number': 5, 'take.mode': 'take',
                                                       'take.source': 9, 'take.output': 1})
        self.save()
        # Relay 9 on, if source 5 is on output 12 (the timed take's), opto 4 on two seconds later.
        self.new_event('Editor relay trigger', [today], {
            'trigger': 'relay on', 'trigger_number': 9, 'condition.when': 'crosspoint on', 'condition.source': 5,
            'condition.output': 12, 'delay': 2, 'opto.mode': 'on', 'opto.opto': 4})
        self.shot('editor_form.png')
        self.save()
        self.new_event('Editor crosspoint trigger', [today], {
            'trigger': 'crosspoint', 'trigger_crosspoint.on': 'routed', 'trigger_crosspoint.source': 3,
            'trigger_crosspoint.output': 12, 'salvo.mode': 'fire', 'salvo.number': 1})
        self.save()
        line = self.line('Editor opto trigger')
        self.assertEqual(line.find_element(By.CSS_SELECTOR, '[data-col="days"]').text, 'every day')
        self.assertEqual(len(line.get_attribute('data-numbers').split(',')), 7)
        self.shot('editor_table.png')
        # The filters: the messages only, then by title.
        Select(self.q('#ef-action')).select_by_value('message')
        self.assertEqual(sorted(self.titles()), ['Editor TCP', 'Editor UDP'] + (['Editor serial'] if p.pty else []))
        Select(self.q('#ef-action')).select_by_value('')
        self.q('#ef-title').send_keys('trigger')
        self.q('#ev-head th[data-sort="title"]').click()
        self.assertEqual(self.titles(), ['Editor crosspoint trigger', 'Editor opto trigger', 'Editor relay trigger'])
        self.q('#ef-title').send_keys(Keys.CONTROL, 'a', Keys.BACK_SPACE)
        self.assertEqual(len(self.titles()), len(self.d.find_elements(By.CSS_SELECTOR, '#ev-body tr')))

        for title, _, logged in timed:
            with self.subTest(title):
                times = self.ran_at(logged)
                self.assertTrue(set(times) & seconds_from(due[title]), (due[title], times))
        self.assertEqual(p.tcp_data, b'NEWS START\r')
        self.assertEqual(p.udp_data, b'ON AIR\r')
        if p.pty:
            self.assertTrue(wait_until(lambda: p.serial_data == b'TALLY 1\r', 5), p.serial_data)

        triggers = [  # what the simulator is told, and the line of the row it runs
            ('opto 5 on', 'Send Take - In:0009-->Out:0001'),
            ('relay 9 on', 'Opto On #0004'),
            ('take 3 12', 'Send Execute Salvo Number 1'),
        ]
        for command, logged in triggers:
            with self.subTest(command):
                told = time.time()
                self.rig.sim_command(command)
                self.ran_at(logged, 10)
                if command.startswith('relay'):
                    # A delay counts whole seconds from the second of its trigger: 2 s runs 1 to
                    # 2 s after it, and the trigger comes after the command was sent.
                    self.assertGreaterEqual(time.time() - told, 1.0, 'the delay was not kept')

    def test_b_a_bad_value_is_refused_at_its_field(self):
        self.view('events')
        day = DAYS[local_time(0)[0]]
        cases = [
            ('take.source', {'time': '12:00:00', 'take.mode': 'take', 'take.source': 0, 'take.output': 1}),
            ('time', {'time': '25:00:00', 'take.mode': 'take', 'take.source': 1, 'take.output': 1}),
        ]
        for field, values in cases:
            with self.subTest(field):
                self.new_event('Refused', [day], values)
                self.q('#ed-save').click()
                error = '#ed-form small.error[data-error-for="%s"]' % field
                WebDriverWait(self.d, 10).until(lambda d: self.q(error).text)
                self.assertTrue(self.dialog_open())
                self.assertIn('bad', self.q('#ed-form [data-field="%s"]' % field).get_attribute('class'))
                self.q('#ed-cancel').click()
        self.assertIsNone(self.line('Refused'))

    def test_c_two_sessions_editing_one_row_see_both_versions(self):
        self.view('events')
        cookie, csrf = self.api()

        def elsewhere(title):  # the other session: Monday's row of the group, through the API
            row = self.rows_of(cookie)[100]
            form = dict(row['form'], title=title)
            status, answer = self.post('/api/events', {'changes': [{'number': 100, 'version': row['version'],
                                                                   'form': form}]}, cookie, csrf)
            self.assertEqual(status, 200, answer)

        self.open_line('Shared news')
        self.fill({'title': 'Mine'})
        elsewhere('Theirs')
        self.q('#ed-save').click()
        WebDriverWait(self.d, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, '#ed-conflict tr.differs'))
        differs = [tr.get_attribute('data-key') for tr in self.d.find_elements(By.CSS_SELECTOR, '#ed-conflict tr.differs')]
        self.assertEqual(differs, ['title'])
        self.assertIn('"Mine"', self.q('#ed-conflict tr.differs td.yours').text)
        self.assertIn('"Theirs"', self.q('#ed-conflict tr.differs td.theirs').text)
        self.shot('editor_conflict.png')

        # Keep theirs: the form again, from what is there now (Monday has gone its own way).
        self.q('#ed-conflict .cf-theirs').click()
        WebDriverWait(self.d, 10).until(lambda d: self.q('#ed-form [data-field="title"]').get_attribute('value') == 'Theirs')
        self.assertEqual([b.get_attribute('data-day') for b in self.d.find_elements(By.CSS_SELECTOR, '#ed-form .days input:checked')],
                         ['Monday'])
        self.fill({'title': 'Mine after all'})
        elsewhere('Theirs again')
        self.q('#ed-save').click()
        WebDriverWait(self.d, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, '#ed-conflict .cf-mine'))
        self.q('#ed-conflict .cf-mine').click()
        WebDriverWait(self.d, 10).until(lambda d: not self.dialog_open())
        rows = self.rows_of(cookie)
        self.assertEqual(rows[100]['form']['title'], 'Mine after all')
        self.assertEqual([rows[n]['form']['title'] for n in range(101, 105)], ['Shared news'] * 4)

    def test_d_a_change_made_with_sqlite3_shows_in_the_history_as_outside(self):
        self.view('history')
        subprocess.run(['sqlite3', '-cmd', '.timeout 5000', self.rig.db, "UPDATE Automation SET Title = 'Changed by sqlite', Salvo = 8 "
                        "WHERE Number = 200"], check=True, timeout=10)

        def outside():
            self.q('#hist-form button').click()
            time.sleep(0.3)
            for li in self.d.find_elements(By.CSS_SELECTOR, '#hist-list li.change'):
                if 'outside' in li.find_element(By.CSS_SELECTOR, '.head').text and \
                        li.find_elements(By.CSS_SELECTOR, 'table.diff[data-number="200"]'):
                    return li
            return None

        li = wait_until(outside, 20, 0.5)
        self.assertTrue(li, self.q('#hist-list').text)
        diff = {tr.get_attribute('data-key'): tr.text for tr in li.find_elements(By.CSS_SELECTOR, 'table.diff tr[data-key]')}
        self.assertEqual(sorted(diff), ['salvo.number', 'title'])
        self.assertIn('"Edited outside" → "Changed by sqlite"', diff['title'])
        self.assertIn('7 → 8', diff['salvo.number'])
        self.shot('editor_history.png')

    def test_e_an_undone_delete_brings_the_row_back_and_it_runs(self):
        self.view('events')
        day, at, _ = local_time(25)
        self.new_event('Editor undo', [DAYS[day]], {'time': at, 'take.mode': 'take', 'take.source': 7, 'take.output': 3})
        self.save()
        number = self.line('Editor undo').get_attribute('data-numbers')
        self.open_line('Editor undo')
        self.q('#ed-delete').click()
        WebDriverWait(self.d, 5).until(lambda d: d.execute_script("return document.getElementById('del-dialog').open"))
        self.q('#del-yes').click()
        WebDriverWait(self.d, 10).until(lambda d: self.line('Editor undo') is None)

        self.view('history')
        removed = '#hist-list li.change:first-child table.diff[data-number="%s"] tr.removed' % number
        WebDriverWait(self.d, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, removed))
        self.q('#hist-list li.change:first-child .undo').click()
        added = '#hist-list li.change:first-child table.diff[data-number="%s"] tr.added' % number
        WebDriverWait(self.d, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, added))
        self.view('events')
        self.assertTrue(self.line('Editor undo'))
        self.assertTrue(set(self.ran_at('Send Take - In:0007-->Out:0003', 40)) & seconds_from(at))

    def test_f_a_viewer_changes_nothing(self):
        cookie, csrf = self.api('bob')
        row = self.rows_of(cookie)[200]
        changes = self.rig.json('/api/changes', cookie)['changes']
        cases = [
            ('an edit', '/api/events', {'changes': [{'number': 200, 'version': row['version'],
                                                     'form': dict(row['form'], title='Viewer')}]}),
            ('a new row', '/api/events', {'changes': [{'number': 300, 'version': '',
                                                       'form': dict(row['form'], number=300)}]}),
            ('an undo', '/api/changes/%s/undo' % changes[0]['id'], {}),
        ]
        for name, path, body in cases:
            with self.subTest(name):
                self.assertEqual(self.post(path, body, cookie, csrf)[0], 403)
        self.assertEqual(self.rows_of(cookie)[200]['version'], row['version'])

        self.q('#signout').click()
        WebDriverWait(self.d, 10).until(lambda d: d.current_url.endswith('/login'))
        self.sign_in('bob')
        self.view('events')
        self.assertFalse(self.q('#ev-new').is_displayed())
        self.assertEqual(self.d.find_elements(By.CSS_SELECTOR, '#ev-body tr.open'), [])
        self.line('Shared news').click()
        time.sleep(0.3)
        self.assertFalse(self.dialog_open())
        self.view('history')
        WebDriverWait(self.d, 10).until(lambda d: d.find_elements(By.CSS_SELECTOR, '#hist-list li.change'))
        self.assertEqual(self.d.find_elements(By.CSS_SELECTOR, '#hist-list .undo'), [])

    def test_g_a_save_is_refused_whole_when_its_rows_changed_meanwhile(self):
        """Through the API: what happens to a save between its read and its write."""
        cookie, csrf = self.api()
        day, at, _ = local_time(4)
        once = {'number': 400, 'title': 'Runs once', 'day': DAYS[day], 'time': at, 'state': 'run once',
                'take': {'mode': 'take', 'source': 6, 'output': 6}}
        status, answer = self.post('/api/events', {'changes': [{'number': 400, 'version': '', 'form': once}]}, cookie, csrf)
        self.assertEqual(status, 200, answer)
        seen = self.rows_of(cookie)[400]
        # The engine runs the row and deletes it while an editor has it open.
        self.ran_at('Send Take - In:0006-->Out:0006')
        wait_until(lambda: 400 not in self.rows_of(cookie), 10)
        status, answer = self.post('/api/events', {'changes': [
            {'number': 400, 'version': seen['version'], 'form': dict(seen['form'], title='Too late')}]}, cookie, csrf)
        self.assertEqual(status, 409, answer)
        self.assertEqual(json.loads(answer)['conflicts'][0]['theirs'], [])
        engine = self.rig.json('/api/changes?number=400', cookie)['changes'][0]
        self.assertEqual((engine['who'], engine['rows'][0]['after']), ('engine', None))

        # An undo of a change whose row was changed since is refused too; the table stays.
        row = self.rows_of(cookie)[200]
        _, answer = self.post('/api/events', {'changes': [{'number': 200, 'version': row['version'],
                                                           'form': dict(row['form'], title='First')}]}, cookie, csrf)
        first = json.loads(answer)['change']
        row = self.rows_of(cookie)[200]
        self.post('/api/events', {'changes': [{'number': 200, 'version': row['version'],
                                               'form': dict(row['form'], title='Second')}]}, cookie, csrf)
        self.assertEqual(self.post('/api/changes/%d/undo' % first, {}, cookie, csrf)[0], 409)
        row = self.rows_of(cookie)[200]
        self.assertEqual(row['form']['title'], 'Second')

        # Refusals before anything is read, and another program holding the file.
        cases = [
            ('no changes', {'changes': []}, 400),
            ('a removal without its version', {'changes': [{'number': 200, 'version': '', 'form': None}]}, 400),
            ('a bad word', {'changes': [{'number': 200, 'version': row['version'],
                                         'form': dict(row['form'], state='sometimes')}]}, 422),
        ]
        for name, body, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.post('/api/events', body, cookie, csrf)[0], expected)
        edit = {'changes': [{'number': 200, 'version': row['version'], 'form': dict(row['form'], title='Third')}]}
        holder = sqlite3.connect(self.rig.db, timeout=5, isolation_level=None)
        try:
            holder.execute('BEGIN EXCLUSIVE')
            status, answer = self.post('/api/events', edit, cookie, csrf)
            self.assertEqual((status, json.loads(answer)), (503, {'error': 'database is locked'}))
        finally:
            holder.execute('ROLLBACK')
            holder.close()
        self.assertEqual(self.post('/api/events', edit, cookie, csrf)[0], 200)
        self.assertEqual(self.rows_of(cookie)[200]['form']['title'], 'Third')


if __name__ == '__main__':
    unittest.main(verbosity=2)
