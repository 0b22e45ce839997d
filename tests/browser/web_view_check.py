#!/usr/bin/python3
"""The web view as a person sees it, in Debian's chromium driven over the DevTools protocol.

  web_view_check.py URL STOP_PID ARTIFACT_DIR HOST...

Opens URL in a headless chromium of its own (a fresh profile, no network beyond the page), and
checks that every HOST appears in the hosts table; that the project named
<img src=x onerror=alert(1)> shows as text and runs nothing (no dialog, no <img> element); that
after SIGTERM to STOP_PID the last HOST leaves the table (or shows failed) within 2 s without a
reload; and that /metrics parses as the text exposition format with the tree's families. Keeps
a screenshot, web.png, in ARTIFACT_DIR. Exit 0: passed; 1: failed.
"""
import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket
from prometheus_client.parser import text_string_to_metric_families

HOSTILE = '<img src=x onerror=alert(1)>'
CHROMIUM = '/usr/bin/chromium'


def fail(message):
    print('FAILED: ' + message, file=sys.stderr)
    sys.exit(1)


class Browser:
    """A headless chromium and one page of it, spoken to over the DevTools websocket."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix='qx-web-chromium.')
        self.process = subprocess.Popen(
            [CHROMIUM, '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--disable-dev-shm-usage', '--window-size=1400,900',
             '--user-data-dir=' + self.profile, '--remote-debugging-port=0', 'about:blank'],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(self.profile, 'DevToolsActivePort')
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.monotonic() > deadline or self.process.poll() is not None:
                self.close()
                fail('chromium did not open its DevTools port')
            time.sleep(0.1)
        time.sleep(0.1)
        port = open(port_file).read().split()[0]
        targets = json.load(urllib.request.urlopen('http://127.0.0.1:%s/json/list' % port,
                                                   timeout=10))
        page = next(t for t in targets if t.get('type') == 'page')
        self.socket = websocket.create_connection(page['webSocketDebuggerUrl'], timeout=10)
        self.next_id = 0
        self.dialogs = []
        self.call('Page.enable')
        self.call('Runtime.enable')

    def call(self, method, **params):
        self.next_id += 1
        mine = self.next_id
        self.socket.send(json.dumps({'id': mine, 'method': method, 'params': params}))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            message = json.loads(self.socket.recv())
            if message.get('method') == 'Page.javascriptDialogOpening':
                self.dialogs.append(message['params'].get('message'))
                self.socket.send(json.dumps({'id': 0, 'method': 'Page.handleJavaScriptDialog',
                                             'params': {'accept': True}}))
            if message.get('id') == mine:
                if 'error' in message:
                    fail('%s: %s' % (method, message['error']))
                return message.get('result', {})
        fail(method + ' got no answer in 30 s')

    def evaluate(self, expression):
        result = self.call('Runtime.evaluate', expression=expression, returnByValue=True)
        return result.get('result', {}).get('value')

    def wait_for(self, expression, seconds):
        """Polls the expression until it is true; the time it took, or None."""
        start = time.monotonic()
        while time.monotonic() - start < seconds:
            if self.evaluate(expression):
                return time.monotonic() - start
            time.sleep(0.05)
        return None

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


def host_rows_js():
    return ('Array.from(document.querySelectorAll("#hosts tbody tr"))'
            '.map(r => [r.cells[0].textContent, r.cells[6].textContent])')


def main():
    url, stop_pid, artifacts, hosts = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4:]
    browser = Browser()
    try:
        browser.call('Page.navigate', url=url)
        every = ' && '.join('rows.some(r => r[0] === %s)' % json.dumps(h) for h in hosts)
        if browser.wait_for('(() => { const rows = %s; return %s; })()' % (host_rows_js(), every),
                            20) is None:
            fail('the hosts %s did not all appear in 20 s; the table has %s'
                 % (hosts, browser.evaluate(host_rows_js())))
        print('ok: the hosts appear: %s' % ', '.join(hosts))

        shown = ('Array.from(document.querySelectorAll("#projects tbody td"))'
                 '.some(c => c.textContent === %s)' % json.dumps(HOSTILE))
        if browser.wait_for(shown, 20) is None:
            fail('the project %s is not shown as text' % HOSTILE)
        browser.evaluate('document.querySelector("#projects tbody tr").click()')
        browser.wait_for('document.querySelector("#details-list").textContent.includes(%s)'
                         % json.dumps(HOSTILE), 5)
        images = browser.evaluate('document.querySelectorAll("img").length')
        if images != 0 or browser.dialogs:
            fail('the project name ran as markup: %s <img> elements, dialogs %s'
                 % (images, browser.dialogs))
        print('ok: %s shows as text and runs nothing' % HOSTILE)

        browser.evaluate('window.qxNotReloaded = true')
        gone = hosts[-1]
        os.kill(stop_pid, signal.SIGTERM)
        took = browser.wait_for(
            '(() => { const row = %s.find(r => r[0] === %s); '
            'return !row || /failed|left/i.test(row[1]); })()' % (host_rows_js(), json.dumps(gone)),
            2.0)
        if took is None:
            fail('%s, stopped, is still shown as %s after 2 s'
                 % (gone, browser.evaluate(host_rows_js())))
        if browser.evaluate('window.qxNotReloaded') is not True:
            fail('the page reloaded')
        print('ok: %s left the page %.2f s after it was stopped, without a reload' % (gone, took))
        time.sleep(0.3)

        os.makedirs(artifacts, exist_ok=True)
        shot = browser.call('Page.captureScreenshot', format='png')
        path = os.path.join(artifacts, 'web.png')
        with open(path, 'wb') as out:
            out.write(base64.b64decode(shot['data']))
        print('ok: screenshot kept as %s' % path)
        if browser.dialogs:
            fail('a dialog opened: %s' % browser.dialogs)
    finally:
        browser.close()

    text = urllib.request.urlopen(url.rstrip('/') + '/metrics', timeout=10).read().decode()
    families = {family.name: family for family in text_string_to_metric_families(text)}
    for name in ('qxremote_tree_hosts', 'qxremote_tree_projects'):
        if name not in families:
            fail('/metrics has no %s: %s' % (name, text[:2000]))
    hosts_now = sum(s.value for s in families['qxremote_tree_hosts'].samples)
    if hosts_now != len(hosts) - 1:
        fail('/metrics counts %s hosts, not %d' % (hosts_now, len(hosts) - 1))
    print('ok: /metrics parses (%d families)' % len(families))


if __name__ == '__main__':
    main()
