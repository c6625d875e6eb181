#!/usr/bin/env python3
"""karvexd against local processes that do not play fair: its memory stays bounded and good clients are served.

Two rounds against a virtual processor, all over the loopback and a Unix socket, each ending by itself:

  memory  clients that pipeline requests for the status page's script and never read an answer, event-stream
          clients that never read (with small receive buffers, so they fall behind quickly), beside clients
          issuing sales one after the other. Every sale must be answered "issued", and the service's resident
          memory (VmRSS of /proc/<pid>/status, sampled throughout) must stay under --rss-limit-mb.
  slots   more slow connections than there are TCP slots, each sending one byte of a request head every
          few seconds (and coming back when closed), beside one good client on TCP and one on the Unix
          socket, each making a request after another on a new connection: every one must be answered
          within --answer-limit seconds.

Printed: the peak and final memory, the sales answered, the good clients' slowest answers. Exit status 1
when a check failed.

    python3 bench/service/abuse_bench.py                       # 100 pipeliners, 100 subscribers, 20 sellers
    python3 bench/service/abuse_bench.py --small               # the CI setting, a few seconds
"""
import argparse
import http.client
import json
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def rss_mb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1]) / 1024.0
    return 0.0


def sale_body(sale_id):
    return json.dumps({'kind': 'issue', 'sale_id': sale_id, 'goods': [
        {'name': '苹果', 'quantity': '1', 'price': '1.00', 'amount': '1.00', 'tax_index': 1}]})


def seller(index, args, port, token, failures, answered, lock):
    connection = http.client.HTTPConnection('127.0.0.1', port, timeout=120)
    headers = {'Authorization': 'Bearer ' + token, 'Content-Type': 'application/json'}
    for n in range(args.sales):
        sale_id = 'abuse-%02d-%03d' % (index, n)
        try:
            connection.request('POST', '/v1/sales', body=sale_body(sale_id).encode(), headers=headers)
            response = connection.getresponse()
            body = json.loads(response.read() or b'{}')
        except Exception as error:  # a lost answer is a failure of the round
            with lock:
                failures.append('sale %s: no answer (%r)' % (sale_id, error))
            connection = http.client.HTTPConnection('127.0.0.1', port, timeout=120)
            continue
        with lock:
            if response.status == 200 and body.get('state') == 'issued':
                answered.append(sale_id)
            else:
                failures.append('sale %s: %s %s' % (sale_id, response.status, body))


def pipeliner(port, stop, stuck):
    """Sends pipelined requests until the kernel will take no more, and reads nothing."""
    s = socket.create_connection(('127.0.0.1', port))
    s.setblocking(False)
    request = b'GET /page/app.js HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' * 64
    sent = 0
    while not stop.is_set():
        try:
            sent += s.send(request)
        except BlockingIOError:
            time.sleep(0.05)
        except OSError:
            break
    stuck.append(s)
    return sent


def subscriber(port, token, small_buffer):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if small_buffer:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(('127.0.0.1', port))
    s.sendall(('GET /v1/events HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\n\r\n' % token).encode())
    return s


def good_client(connect, token, rounds_until, latencies, failures, name, lock):
    while time.monotonic() < rounds_until:
        began = time.monotonic()
        try:
            s = connect()
            s.settimeout(30)
            s.sendall(('GET /v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\n'
                       'Connection: close\r\n\r\n' % token).encode())
            reply = b''
            while b'\r\n\r\n' not in reply:
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
            s.close()
            ok = reply.startswith(b'HTTP/1.1 200')
        except OSError as error:
            ok, reply = False, repr(error).encode()
        took = time.monotonic() - began
        with lock:
            latencies.append(took)
            if not ok:
                failures.append('%s client: %r' % (name, reply[:80]))
        time.sleep(0.1)


def memory_round(args, service, port, token, failures):
    stop, stuck, lock = threading.Event(), [], threading.Lock()
    samples = [rss_mb(service.pid)]
    pipes = [threading.Thread(target=pipeliner, args=(port, stop, stuck)) for _ in range(args.pipeliners)]
    for t in pipes:
        t.start()
    subscribers = [subscriber(port, token, True) for _ in range(args.subscribers)]
    answered, sellers = [], []
    sellers = [threading.Thread(target=seller, args=(i, args, port, token, failures, answered, lock))
               for i in range(args.sellers)]
    for t in sellers:
        t.start()
    while any(t.is_alive() for t in sellers):
        samples.append(rss_mb(service.pid))
        time.sleep(0.1)
    # The pipeliners go on a little longer, so that their backlog is as large as it gets.
    end = time.monotonic() + args.settle
    while time.monotonic() < end:
        samples.append(rss_mb(service.pid))
        time.sleep(0.1)
    stop.set()
    for t in pipes:
        t.join()
    peak = max(samples)
    for s in stuck + subscribers:
        s.close()
    if len(answered) != args.sellers * args.sales:
        failures.append('%d of %d sales answered issued' % (len(answered), args.sellers * args.sales))
    if peak > args.rss_limit_mb:
        failures.append('resident memory reached %.1f MB (limit %d MB)' % (peak, args.rss_limit_mb))
    print('memory: %d pipelining clients, %d event subscribers that never read, %d sellers x %d sales'
          % (args.pipeliners, args.subscribers, args.sellers, args.sales))
    print('  resident memory: %.1f MB at start, %.1f MB at most (limit %d MB); %d sales answered issued'
          % (samples[0], peak, args.rss_limit_mb, len(answered)))


def slots_round(args, port, socket_path, token, failures):
    lock = threading.Lock()
    slow = []
    stop = threading.Event()

    def open_slow():
        s = socket.create_connection(('127.0.0.1', port))
        s.setblocking(False)
        try:
            s.send(b'GET /v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ')
        except OSError:
            pass
        return s

    for _ in range(args.slow):
        slow.append(open_slow())

    def trickle():
        while not stop.wait(args.trickle_seconds):
            for i, s in enumerate(slow):
                try:
                    s.send(b'a')
                except OSError:  # closed by the service: the attacker comes back
                    s.close()
                    try:
                        slow[i] = open_slow()
                    except OSError:
                        pass

    trickler = threading.Thread(target=trickle)
    trickler.start()
    until = time.monotonic() + args.slot_seconds
    tcp_times, unix_times = [], []

    def tcp_connect():
        return socket.create_connection(('127.0.0.1', port))

    def unix_connect():
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(socket_path)
        return s

    goods = [threading.Thread(target=good_client, args=(tcp_connect, token, until, tcp_times, failures, 'TCP', lock)),
             threading.Thread(target=good_client, args=(unix_connect, token, until, unix_times, failures, 'Unix',
                                                        lock))]
    for t in goods:
        t.start()
    for t in goods:
        t.join()
    stop.set()
    trickler.join()
    for s in slow:
        s.close()
    for name, times in (('TCP', tcp_times), ('Unix socket', unix_times)):
        late = [t for t in times if t > args.answer_limit]
        if not times or late:
            failures.append('%s client: %d of %d answers later than %.1f s'
                            % (name, len(late), len(times), args.answer_limit))
    print('slots: %d slow connections (a byte every %.1f s) for %.1f s'
          % (args.slow, args.trickle_seconds, args.slot_seconds))
    print('  good TCP client: %d answers, slowest %.3f s; Unix socket client: %d answers, slowest %.3f s'
          % (len(tcp_times), max(tcp_times or [0]), len(unix_times), max(unix_times or [0])))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--karvexd', default=os.path.join(ROOT, 'build/release/tools/karvexd/karvexd'))
    parser.add_argument('--sim', default=os.path.join(ROOT, 'build/release/tools/sim/karvex-sim'))
    parser.add_argument('--small', action='store_true', help='the CI setting: a few seconds')
    parser.add_argument('--pipeliners', type=int, default=100)
    parser.add_argument('--subscribers', type=int, default=100)
    parser.add_argument('--sellers', type=int, default=20)
    parser.add_argument('--sales', type=int, default=20, help='sales per seller')
    parser.add_argument('--settle', type=float, default=3.0, help='seconds the pipeliners go on after the sales')
    parser.add_argument('--rss-limit-mb', type=int, default=100)
    parser.add_argument('--slow', type=int, default=520)
    parser.add_argument('--trickle-seconds', type=float, default=3.0)
    parser.add_argument('--slot-seconds', type=float, default=30.0)
    parser.add_argument('--answer-limit', type=float, default=1.0)
    args = parser.parse_args()
    if args.small:
        args.pipeliners, args.subscribers, args.sellers, args.sales = 20, 20, 4, 5
        args.settle, args.slot_seconds, args.trickle_seconds = 1.0, 3.0, 1.0
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))

    tmp = tempfile.mkdtemp(prefix='karvex-abuse-')
    processes, failures = [], []
    try:
        rolls = args.sellers * args.sales // 100 + 2
        sim = subprocess.Popen([args.sim, '--rolls', str(rolls), '--state', os.path.join(tmp, 'sim.state'),
                                '--log', os.path.join(tmp, 'sim.log')],
                               stdout=subprocess.PIPE, text=True)
        processes.append(sim)
        device = re.search(r'(/dev/\S+)', sim.stdout.readline()).group(1)
        token_file, socket_path = os.path.join(tmp, 'karvexd.token'), os.path.join(tmp, 'karvexd.sock')
        env = dict(os.environ, KARVEX_COM1=device, QT_QPA_PLATFORM='offscreen')
        service = subprocess.Popen([args.karvexd, '--port', '0', '--data-dir', os.path.join(tmp, 'data'),
                                    '--serial-port', '1', '--token-file', token_file, '--unix-socket', socket_path],
                                   stdout=subprocess.PIPE, text=True, env=env)
        processes.insert(0, service)
        port = int(re.search(r'http://127\.0\.0\.1:(\d+)/', service.stdout.readline()).group(1))
        with open(token_file) as f:
            token = f.read().strip()
        memory_round(args, service, port, token, failures)
        slots_round(args, port, socket_path, token, failures)
        if service.poll() is not None:
            failures.append('karvexd ended (%s)' % service.returncode)
    finally:
        for p in processes:
            p.terminate()
            try:
                p.wait(timeout=60)
            except subprocess.TimeoutExpired:
                p.kill()
        shutil.rmtree(tmp, ignore_errors=True)
    for failure in failures[:20]:
        print('FAILED: ' + failure)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
