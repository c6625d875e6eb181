#!/usr/bin/env python3
"""Load on karvexd: concurrent clients making mixed requests against a virtual processor that answers at once.

Each client keeps one connection and makes its requests one after the other: issues with sale ids of their
own, repeats of earlier sale ids (which must give the same invoice again), current invoice numbers (on the
line), journal reads of one sale, store table reads and the status. Afterwards every sale is checked three
ways: the answers the clients got, the service's journal (table SalesJournal) and the processor's own list
of invoices (karvex-sim's state file): one invoice per sale id, none lost, none doubled.

Printed: requests per second, p50 and p99 latency per kind of request, beside the time one issue takes on a
real line at 9600 baud (request and answer bytes from the processor's traffic log, 10 bits a byte); then the
service's processor time while it waits with an event stream open (it must sleep: more than 5 % of one
processor fails). Exit status 1 when a check failed.

    python3 bench/service/load_bench.py                      # 20 clients x 100 requests, build/release
    python3 bench/service/load_bench.py --clients 4 --requests 25 --idle-seconds 1   # the small CI setting
"""
import argparse
import http.client
import json
import math
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KINDS = ('issue', 'repeat', 'number', 'sale', 'table', 'status')
ISSUE_KINDS = ('issue', 'repeat')
IDLE_CPU_LIMIT = 5.0  # percent of one processor


class Client:
    def __init__(self, port, token):
        self.port = port
        self.headers = {'Authorization': 'Bearer ' + token, 'Content-Type': 'application/json'}
        self.connection = None
        self.reconnects = 0

    def request(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        for attempt in (0, 1):
            fresh = self.connection is None
            if fresh:
                self.connection = http.client.HTTPConnection('127.0.0.1', self.port, timeout=300)
            try:
                self.connection.request(method, path, body=data, headers=self.headers)
                response = self.connection.getresponse()
                payload = response.read()
                if response.getheader('Connection', '').lower() == 'close':
                    self.connection.close()
                    self.connection = None
                return response.status, json.loads(payload) if payload else None
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                # A kept connection the service had closed: ask again on a new one (a sale is idempotent by
                # its sale id, so asking again is safe). A new connection that fails is a failure.
                self.connection.close()
                self.connection = None
                if fresh or attempt:
                    raise
                self.reconnects += 1


def percentile(values, p):
    if not values:
        return float('nan')
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, max(0, math.ceil(p / 100 * len(ordered)) - 1))]


def sale_body(sale_id, client):
    return {'kind': 'issue', 'sale_id': sale_id, 'payer': '某某商贸有限公司',
            'goods': [{'name': '商品%d' % (client + 1), 'quantity': '1', 'price': '1.00', 'amount': '1.00',
                       'tax_index': 1}]}


def run_client(index, args, port, token, results, lock):
    rng = random.Random(args.seed * 1000 + index)
    client = Client(port, token)
    mine = []  # sale ids this client issued
    log = []   # (kind, seconds, status, body, sale id)
    for n in range(args.requests):
        roll = rng.random()
        kind = 'issue' if roll < 0.35 else 'repeat' if roll < 0.45 else 'number' if roll < 0.60 else \
            'sale' if roll < 0.75 else 'table' if roll < 0.90 else 'status'
        if kind in ('repeat', 'sale') and not mine:
            kind = 'issue'
        sale_id = None
        if kind == 'issue':
            sale_id = 'c%02d-%03d' % (index, n)
            mine.append(sale_id)
            call = ('POST', '/v1/sales', sale_body(sale_id, index))
        elif kind == 'repeat':
            sale_id = rng.choice(mine)
            call = ('POST', '/v1/sales', sale_body(sale_id, index))
        elif kind == 'number':
            call = ('GET', '/v1/invoice-number', None)
        elif kind == 'sale':
            sale_id = rng.choice(mine)
            call = ('GET', '/v1/sales/' + urllib.parse.quote(sale_id), None)
        elif kind == 'table':
            call = ('GET', '/v1/tables/MakeInvoice?limit=20', None)
        else:
            call = ('GET', '/v1/status', None)
        started = time.perf_counter()
        try:
            status, body = client.request(*call)
        except Exception as error:  # counted as lost below
            status, body = None, {'error': repr(error)}
        log.append((kind, time.perf_counter() - started, status, body, sale_id))
    with lock:
        results.append((log, client.reconnects))


def cpu_ticks(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime and stime


def wakeups(pid):
    total = 0
    for task in os.listdir('/proc/%d/task' % pid):
        with open('/proc/%d/task/%s/status' % (pid, task)) as f:
            for line in f:
                if line.startswith(('voluntary_ctxt_switches', 'nonvoluntary_ctxt_switches')):
                    total += int(line.split()[1])
    return total


def journal_rows(port, token):
    client = Client(port, token)
    rows, offset = [], 0
    while True:
        status, body = client.request('GET', '/v1/tables/SalesJournal?limit=1000&offset=%d' % offset)
        if status != 200:
            raise RuntimeError('journal read gave %s: %s' % (status, body))
        page = body.get('rows', []) if isinstance(body, dict) else body
        rows += page
        if len(page) < 1000:
            return rows
        offset += len(page)


def processor_invoices(state_file):
    numbers = []
    with open(state_file) as f:
        for line in f:
            parts = line.split()
            if parts and parts[0] == 'invoice' and parts[2] == '1':  # kind 1: a normal invoice
                numbers.append(int(parts[1]))
    return numbers


def issue_wire_bytes(sim_log):
    """Bytes of the first issue request (command 0x34) and of the answer after it, from the traffic log."""
    request = answer = 0
    with open(sim_log) as f:
        for line in f:
            cells = line[3:].split(';')[0].split()
            if line.startswith('<< '):
                if request:
                    break
                if cells[:3] == ['1B', '10', '34']:
                    request = len(cells)
            elif line.startswith('>> ') and request:
                answer += len(cells)
    return request, answer


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--karvexd', default=os.path.join(ROOT, 'build/release/tools/karvexd/karvexd'))
    parser.add_argument('--sim', default=os.path.join(ROOT, 'build/release/tools/sim/karvex-sim'))
    parser.add_argument('--clients', type=int, default=20)
    parser.add_argument('--requests', type=int, default=100, help='requests per client')
    parser.add_argument('--idle-seconds', type=float, default=5)
    parser.add_argument('--seed', type=int, default=1)
    args = parser.parse_args()

    tmp = tempfile.mkdtemp(prefix='karvex-load-')
    processes = []
    failures = []
    try:
        state_file, sim_log = os.path.join(tmp, 'sim.state'), os.path.join(tmp, 'sim.log')
        # Rolls enough for every request to be an issue, 100 numbers each.
        rolls = args.clients * args.requests // 100 + 2
        sim = subprocess.Popen([args.sim, '--rolls', str(rolls), '--state', state_file, '--log', sim_log],
                               stdout=subprocess.PIPE, text=True)
        processes.append(sim)
        device = re.search(r'(/dev/\S+)', sim.stdout.readline()).group(1)
        token_file = os.path.join(tmp, 'karvexd.token')
        env = dict(os.environ, KARVEX_COM1=device, QT_QPA_PLATFORM='offscreen')
        service = subprocess.Popen([args.karvexd, '--port', '0', '--data-dir', os.path.join(tmp, 'data'),
                                    '--serial-port', '1', '--token-file', token_file],
                                   stdout=subprocess.PIPE, text=True, env=env)
        processes.insert(0, service)
        started = service.stdout.readline()
        port = int(re.search(r'http://127\.0\.0\.1:(\d+)/', started).group(1))
        with open(token_file) as f:
            token = f.read().strip()
        status, body = Client(port, token).request('POST', '/v1/online', {})
        if status != 200:
            raise RuntimeError('the processor did not come on line: %s %s' % (status, body))

        results, lock = [], threading.Lock()
        threads = [threading.Thread(target=run_client, args=(i, args, port, token, results, lock))
                   for i in range(args.clients)]
        began = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.perf_counter() - began
        calls = [c for log, _ in results for c in log]
        reconnects = sum(r for _, r in results)

        # What the clients got.
        first = {}  # sale id -> invoice number of its first issue
        for kind, _, status, body, sale_id in calls:
            if status != 200:
                failures.append('%s %s: %s %s' % (kind, sale_id or '', status, body))
                continue
            if kind in ISSUE_KINDS:
                # An invoice is told apart by its tax control code (its number too, when the answer has it).
                invoice = (body.get('invoice_number'), body.get('tax_code')) if isinstance(body, dict) else None
                if body.get('state') != 'issued' or not invoice[1]:
                    failures.append('%s %s answered without an invoice: %s' % (kind, sale_id, body))
                elif first.setdefault(sale_id, invoice) != invoice:
                    failures.append('sale %s got invoices %s and %s' % (sale_id, first[sale_id], invoice))
        invoices = list(first.values())
        if len(set(code for _, code in invoices)) != len(invoices):
            failures.append('one invoice was given to two sale ids')

        # The journal: one row per sale id, with the invoice the client got.
        try:
            rows = [r for r in journal_rows(port, token) if str(r.get('SaleId', '')).startswith('c')]
        except RuntimeError as error:
            rows = []
            failures.append(str(error))
        by_id = {}
        for r in rows:
            by_id.setdefault(r['SaleId'], []).append(r)
        for sale_id, (number, code) in first.items():
            found = by_id.get(sale_id, [])
            if len(found) != 1 or found[0].get('TaxCode') != code or (found[0].get('InvNum') or '') != (number or ''):
                failures.append('journal has %d rows for %s (%s), the client got %s'
                                % (len(found), sale_id, [(f.get('InvNum'), f.get('TaxCode')) for f in found],
                                   (number, code)))
        if len(by_id) != len(first):
            failures.append('journal names %d sale ids, the clients issued %d' % (len(by_id), len(first)))

        # The processor: as many invoices as sale ids, and the numbers the clients were told among them.
        issued = processor_invoices(state_file)
        # The service answers ten digits ("0000000001"), the processor's state file the plain number.
        told = set(int(number) for number, _ in invoices if number)
        if len(issued) != len(invoices) or not told <= set(issued):
            failures.append('the processor issued %d invoices for %d sale ids' % (len(issued), len(invoices)))

        # Idle: no requests, one event stream open as a status page would keep it.
        stream = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
        stream.request('GET', '/v1/events?token=' + urllib.parse.quote(token))
        stream.getresponse()
        time.sleep(0.5)  # let the last answers and the stream's start settle
        ticks0, wake0 = cpu_ticks(service.pid), wakeups(service.pid)
        time.sleep(args.idle_seconds)
        ticks1, wake1 = cpu_ticks(service.pid), wakeups(service.pid)
        stream.close()
        idle_cpu = (ticks1 - ticks0) / os.sysconf('SC_CLK_TCK') / args.idle_seconds * 100
        # Its own processor time, which a busy machine does not inflate: a service that polls or spins
        # shows tens of percent here, one that sleeps next to nothing.
        if idle_cpu > IDLE_CPU_LIMIT:
            failures.append('the service used %.1f %% of a processor while waiting' % idle_cpu)

        request_bytes, answer_bytes = issue_wire_bytes(sim_log)
        wire_ms = (request_bytes + answer_bytes) * 10 / 9600 * 1000

        print('karvexd load: %d clients x %d requests = %d in %.2f s: %.0f requests/s (%d reconnects)'
              % (args.clients, args.requests, len(calls), elapsed, len(calls) / elapsed, reconnects))
        print('  %-8s %6s %10s %10s' % ('kind', 'count', 'p50 ms', 'p99 ms'))
        for kind in KINDS + ('all',):
            times = [c[1] * 1000 for c in calls if kind == 'all' or c[0] == kind]
            print('  %-8s %6d %10.2f %10.2f' % (kind, len(times), percentile(times, 50), percentile(times, 99)))
        print('  one issue on a real line at 9600 baud: %.1f ms (%d request + %d answer bytes, 10 bits each)'
              % (wire_ms, request_bytes, answer_bytes))
        print('  sales: %d issued, %d repeats, %d journal rows, %d invoices on the processor'
              % (len(first), sum(1 for c in calls if c[0] == 'repeat'), len(rows), len(issued)))
        print('  idle: %.2f %% of one processor over %.1f s, %.1f wake-ups/s (event stream open)'
              % (idle_cpu, args.idle_seconds, (wake1 - wake0) / args.idle_seconds))
    finally:
        for p in processes:
            p.terminate()
            try:
                p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)
    for f in failures[:20]:
        print('FAILED: ' + f)
    if len(failures) > 20:
        print('FAILED: ... %d more' % (len(failures) - 20))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
