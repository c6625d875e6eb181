#!/usr/bin/env python3
"""The status page of karvexd in headless Chromium, against karvexd and karvex-sim.

Chromium is driven over its DevTools pipe (--remote-debugging-pipe: JSON messages ending in a NUL byte on
descriptors 3 and 4), so nothing beyond the Python standard library is needed. The page first gets a wrong
token in its address and must ask for one; the right token typed into its form must bring up the status;
host calls made while the page watches must show: on line with their log lines, a sale in the latest sales,
the progress of a multi-packet answer, "≥" while its total is only a lower bound. A sale whose answer never
comes (the processor stopped) must bring the in-doubt banner. At 390 px wide (a phone) nothing may scroll
sideways. The page is saved as a PNG at 1280 px (--screenshot) and at 390 px beside it ("-390" added).
"""
import argparse
import base64
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import urllib.error
import urllib.request

# Guards against a hang only: every wait below ends as soon as the page shows what it waits for.
HANG_GUARD_S = 120


class Browser:
    def __init__(self, chromium, profile):
        low_r, self._to_browser = os.pipe()
        self._from_browser, low_w = os.pipe()
        # Above 3 and 4, so that putting one end in place cannot overwrite the other.
        to_browser_r, from_browser_w = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (low_r, low_w))
        os.close(low_r)
        os.close(low_w)
        # Chromium reads commands from descriptor 3 and writes answers to 4; bash puts the pipes there.
        flags = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--hide-scrollbars',
                 '--no-first-run', '--remote-debugging-pipe', '--window-size=1100,1300',
                 '--user-data-dir=' + profile, 'about:blank']
        remap = 'exec "$0" "$@" 3<&%d 4>&%d %d<&- %d>&-' % (to_browser_r, from_browser_w, to_browser_r,
                                                            from_browser_w)
        self.proc = subprocess.Popen(['/bin/bash', '-c', remap, chromium] + flags,
                                     pass_fds=(to_browser_r, from_browser_w),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for fd in (to_browser_r, from_browser_w):
            os.close(fd)
        self._buffer = b''
        self._next_id = 0
        self._events = []
        self.session = None
        self._guard = threading.Timer(HANG_GUARD_S, self.proc.kill)
        self._guard.start()

    def _message(self):
        while b'\0' not in self._buffer:
            chunk = os.read(self._from_browser, 65536)
            if not chunk:
                raise RuntimeError('Chromium ended')
            self._buffer += chunk
        raw, self._buffer = self._buffer.split(b'\0', 1)
        return json.loads(raw)

    def call(self, method, params=None, session=True):
        self._next_id += 1
        message = {'id': self._next_id, 'method': method, 'params': params or {}}
        if session and self.session:
            message['sessionId'] = self.session
        os.write(self._to_browser, json.dumps(message).encode() + b'\0')
        while True:
            answer = self._message()
            if answer.get('id') == self._next_id:
                if 'error' in answer:
                    raise RuntimeError(method + ': ' + json.dumps(answer['error']))
                return answer['result']
            self._events.append(answer.get('method'))

    def navigate(self, url):
        self._events.clear()
        self.call('Page.navigate', {'url': url})
        while 'Page.loadEventFired' not in self._events:
            self._events.append(self._message().get('method'))

    def attach(self):
        pages = [t for t in self.call('Target.getTargets')['targetInfos'] if t['type'] == 'page']
        self.session = self.call('Target.attachToTarget', {'targetId': pages[0]['targetId'], 'flatten': True},
                                 session=False)['sessionId']

    def evaluate(self, expression):
        result = self.call('Runtime.evaluate', {'expression': expression, 'awaitPromise': True,
                                                'returnByValue': True})
        if 'exceptionDetails' in result:
            raise RuntimeError(expression + ': ' + json.dumps(result['exceptionDetails']))
        return result['result'].get('value')

    def wait_for(self, condition):
        """Resolves when the JavaScript condition holds in the page (checked on every change of the page)."""
        try:
            return self._wait_for(condition)
        except RuntimeError as error:
            raise RuntimeError('the page never showed: %s (%s)' % (condition, error)) from None

    def _wait_for(self, condition):
        return self.evaluate('new Promise((done) => { const check = () => { const v = (' + condition +
                             '); if (v) { observer.disconnect(); done(v); } }; const observer = new '
                             'MutationObserver(check); observer.observe(document, {subtree: true, childList: true,'
                             ' characterData: true, attributes: true}); check(); })')

    def close(self):
        self._guard.cancel()
        self.proc.kill()
        self.proc.wait()
        os.close(self._to_browser)
        os.close(self._from_browser)


def start_line(args, tmp):
    # Spare rolls make the list of dispensed rolls a multi-packet answer, longer than the 255 frames the
    # processor counts ahead.
    sim = subprocess.Popen([args.sim, '--quiet', '--spare-rolls', '300'], stdout=subprocess.PIPE, text=True)
    device = re.search(r'(/dev/\S+)', sim.stdout.readline()).group(1)
    # Ticks of 200 ms: a sale whose answer never comes is in doubt after seconds, not half a minute.
    env = dict(os.environ, KARVEX_COM1=device, QT_QPA_PLATFORM='offscreen', KARVEX_TICK_MS='200')
    token_file = os.path.join(tmp, 'karvexd.token')
    service = subprocess.Popen([args.karvexd, '--port', '0', '--data-dir', os.path.join(tmp, 'data'),
                                '--serial-port', '1', '--token-file', token_file],
                               stdout=subprocess.PIPE, text=True, env=env)
    line = service.stdout.readline()
    match = re.search(r'http://127\.0\.0\.1:(\d+)/', line)
    if not match:
        raise RuntimeError('karvexd did not start: ' + line)
    with open(token_file) as f:
        token = f.read().strip()
    return sim, service, 'http://127.0.0.1:' + match.group(1), token


def post(base, token, path, body):
    request = urllib.request.Request(base + path, data=json.dumps(body).encode(), method='POST',
                                     headers={'Authorization': 'Bearer ' + token,
                                              'Content-Type': 'application/json'})
    with urllib.request.urlopen(request, timeout=HANG_GUARD_S) as response:
        return json.load(response)


def text_of(element_id):
    return 'document.getElementById("%s").textContent' % element_id


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--karvexd', required=True)
    parser.add_argument('--sim', required=True)
    parser.add_argument('--chromium', default='chromium')
    parser.add_argument('--screenshot', required=True)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix='karvex-page-')
    processes = []
    browser = None
    try:
        sim, service, base, token = start_line(args, tmp)
        processes = [service, sim]
        browser = Browser(args.chromium, os.path.join(tmp, 'profile'))
        browser.attach()
        browser.call('Page.enable')

        # A wrong token from the address: the page takes it out of the address and asks for another.
        browser.navigate(base + '/#token=wrong')
        hint = browser.wait_for('!document.getElementById("token-form").hidden && ' + text_of('token-hint'))
        assert '令牌无效' in hint, hint
        assert browser.evaluate('location.hash') == '', 'the token stays in the address'

        # The right one typed into the form: status and the live stream come up.
        browser.evaluate('document.getElementById("token-input").value = %s; '
                         'document.getElementById("token-form").requestSubmit(); true' % json.dumps(token))
        browser.wait_for(text_of('stream') + ' === "已连接" && ' + text_of('service') + ' === "服务已连接"')

        # Host calls made while the page watches.
        post(base, token, '/v1/online', {})
        browser.wait_for(text_of('online') + ' === "已联机" && document.querySelectorAll("#log li").length >= 2')
        sale = {'kind': 'issue', 'sale_id': 'page-1', 'payer': '某某商贸有限公司',
                'goods': [{'name': '矿泉水', 'quantity': '2', 'price': '1.50', 'amount': '3.00', 'tax_index': 1}]}
        tax_code = post(base, token, '/v1/sales', sale)['tax_code']
        row = browser.wait_for('[...document.querySelectorAll("#sales tr")].map((r) => r.textContent)'
                               '.find((t) => t.includes("page-1"))')
        assert '已开具' in row and tax_code and tax_code in row and '3.00' in row, row

        # A multi-packet answer (the dispensed rolls): every progress event shows the bar until the last one.
        browser.evaluate('window.shown = []; new MutationObserver(() => { if (!document.getElementById('
                         '"progress-box").hidden) window.shown.push(' + text_of('progress-text') + '); })'
                         '.observe(document.getElementById("panels"), {subtree: true, childList: true, '
                         'characterData: true, attributes: true}); true')
        post(base, token, '/v1/commands/0x32', {})
        shown = browser.wait_for('document.getElementById("progress-box").hidden && window.shown.length > 0 && '
                                 'window.shown')
        assert any(re.search(r'共 \d+ 帧（\d+%）', text) for text in shown), shown
        assert any(re.search(r'共 ≥\d+ 帧', text) and '%' not in text for text in shown), shown

        # The card password read through the tables is masked.
        post(base, token, '/v1/commands/0x38', {})
        request = urllib.request.Request(base + '/v1/tables/UserInformation',
                                         headers={'Authorization': 'Bearer ' + token})
        with urllib.request.urlopen(request, timeout=HANG_GUARD_S) as response:
            rows = json.load(response)['rows']
        assert rows and all(r.get('税控卡使用口令') in ('******', None) for r in rows), rows

        # The processor stops answering in the middle of a sale: the sale is in doubt, and the page says that
        # new sales are refused until it is settled. The current number read just before is the sale's anchor,
        # so the issue itself is what goes unanswered.
        request = urllib.request.Request(base + '/v1/invoice-number', headers={'Authorization': 'Bearer ' + token})
        with urllib.request.urlopen(request, timeout=HANG_GUARD_S) as response:
            json.load(response)
        os.kill(sim.pid, signal.SIGSTOP)
        try:
            post(base, token, '/v1/sales', dict(sale, sale_id='page-2'))
        except urllib.error.HTTPError as error:
            assert error.code == 409, error.code
        banner = browser.wait_for('!document.getElementById("doubt").hidden && ' + text_of('doubt'))
        assert 'page-2' in banner and '拒绝' in banner and '线路' in banner, banner

        for width, path in ((1280, args.screenshot), (390, re.sub(r'(\.png)?$', '-390.png', args.screenshot, 1))):
            browser.call('Emulation.setDeviceMetricsOverride',
                         {'width': width, 'height': 900, 'deviceScaleFactor': 1, 'mobile': width < 600})
            sideways = browser.evaluate('document.documentElement.scrollWidth - window.innerWidth')
            assert sideways <= 0, 'the page scrolls %d px sideways at %d px' % (sideways, width)
            shot = browser.call('Page.captureScreenshot', {'format': 'png', 'captureBeyondViewport': True})
            png = base64.b64decode(shot['data'])
            assert png.startswith(b'\x89PNG'), 'no PNG from Chromium'
            with open(path, 'wb') as f:
                f.write(png)
        os.kill(sim.pid, signal.SIGCONT)
        print('status page shown on line with its log; screenshots', args.screenshot)
        return 0
    finally:
        if browser:
            browser.close()
        for p in processes:
            p.terminate()
            try:
                p.wait(timeout=HANG_GUARD_S)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
