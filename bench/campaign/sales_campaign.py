#!/usr/bin/env python3
"""Sales through the `karvex` tool against one virtual processor that loses, damages and delays answers.

Each sale is one `karvex issue --sale-id ID` (or, now and then, `karvex return --sale-id ID` of an earlier
sale) in a process of its own, as a point-of-sale program would make it. The line and the host misbehave in
every way a shop sees:

  - the processor's random faults (seeded): requests lost before it acts ("drop"), answers lost after it
    acted ("lost"), damaged answers (bad CRC, cut off, short, noise), late answers, refusals, "WT", pauses;
  - the host process killed with SIGKILL at a random moment between its start and its answer;
  - the port pulled: the processor stopped (SIGTERM, or SIGKILL as a power cut) in the middle of a call,
    its device gone for a few attempts, then started again from its state file on a new device;
  - the processor unreachable: its device still there but nothing answers for a few attempts.

Cases that content alone cannot settle, each by an option:

  - --same-content: every sale has the same goods, total and payer, so only the processor's counter tells a
    sale's invoice from the one before (invoices are then matched to sales through the journal's tax codes);
  - --late-refusal-rate: a host asks the current number, the processor holds its answer back and the host is
    killed; the "NP" it owed arrives when the next host's first request is on the line;
  - --void-share: an issued sale's invoice is voided now and then, voids mixed in among the sales;
  - --restore-share: the store is copied aside between sales and, later, copied back (a restored store);
  - --days: the run spans that many days, the processor's clock moved on between them, so the processor's
    last invoice at the start of a day is another day's;
  - --roll-size / --renumber-rolls: small rolls that all number from 1 again;
  - --relay-kill-rate: the host reaches the processor through a pseudo-terminal relay that kills it at an exact
    moment of an issue or return: just after the request's last byte reached the processor, with half of the
    answer delivered, or just after the whole answer was delivered.

A cashier retries a sale with the same sale id until it is issued. At the end, on a quiet line, every sale
still without an invoice is retried once more, and then the processor's invoices (its state file) and the
sales journal (`karvex dump --table SalesJournal`) must agree one to one: every sale on exactly one invoice,
every invoice belonging to exactly one sale, and the journal naming the invoice the processor holds.

Exit status: 0 when they agree, 1 when they do not, 2 when the run could not be made.
"""

import argparse
import collections
import json
import os
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

GOODS = ["矿泉水", "面包", "牛奶", "苹果", "大米", "食用油", "毛巾", "电池", "笔记本", "茶叶"]
REFUSALS = set(range(1, 65)) | {20048, 22356}
LOST_ANSWER = {128, 129, 130, 131, 133, 137}
IN_DOUBT = 143
ISSUED_STATES = {"answered", "issued"}
HOST_TIME_LIMIT = 120  # seconds; a host call that takes longer is a hang


class Processor:
    """karvex-sim with a state file, reached through a symbolic link that is moved to each new device."""

    def __init__(self, program, work, seed, rate, late_ms, rolls, pace, roll_size=0, renumber=False):
        self.program = program
        self.state = os.path.join(work, "processor.state")
        self.log = os.path.join(work, "processor.log")
        self.errors = open(os.path.join(work, "processor.err"), "a")
        self.device = os.path.join(work, "ttyKARVEX")
        self.seed, self.rate, self.late_ms, self.rolls, self.pace = seed, rate, late_ms, rolls, pace
        self.roll_size, self.renumber = roll_size, renumber
        self.clock = None  # yyyymmddhhmmss of a fixed processor clock
        self.proc = None
        self.starts = 0
        self.mute = False

    def start(self, faults=True, mute=False, extra=()):
        args = [self.program, "--state", self.state, "--rolls", str(self.rolls), "--log", self.log,
                "--seed", str(self.seed * 1000 + self.starts)]
        if self.roll_size:
            args += ["--roll-size", str(self.roll_size)]
        if self.renumber:
            args += ["--renumber-rolls"]
        if self.clock:
            args += ["--clock", self.clock]
        args += list(extra)
        if self.pace:
            args += ["--pace", str(self.pace)]
        if faults and self.rate > 0:
            args += ["--random-faults", str(self.rate), "--random-late", str(self.late_ms)]
        if mute:
            args += ["--fault", "*:drop:always"]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        line = self.proc.stdout.readline()
        if "ready on" not in line:
            raise RuntimeError("karvex-sim did not start: " + line.strip())
        path = line.rsplit(" ", 1)[-1].strip()
        fresh = self.device + ".new"
        if os.path.lexists(fresh):
            os.unlink(fresh)
        os.symlink(path, fresh)
        os.replace(fresh, self.device)
        self.starts += 1
        self.mute = mute

    def stop(self, hard=False):
        if os.path.lexists(self.device):
            os.unlink(self.device)
        if self.proc:
            self.proc.send_signal(signal.SIGKILL if hard else signal.SIGTERM)
            self.proc.wait(timeout=60)
            self.proc.stdout.close()
            self.proc = None

    def up(self):
        return self.proc is not None


class Relay:
    """A pseudo-terminal between the host and the processor that sees every byte, so that a host can be killed at
    the exact moment a request or an answer is complete on the line (polling the processor's log cannot)."""

    MOMENTS = ("request delivered", "half the answer", "whole answer")

    def __init__(self, work, target):
        self.target = target  # the processor's device (a link moved to each new device)
        master, slave = os.openpty()
        tty.setraw(slave)
        self.device = os.path.join(work, "ttyRELAY")
        if os.path.lexists(self.device):
            os.unlink(self.device)
        os.symlink(os.ttyname(slave), self.device)
        os.close(slave)  # only the host holds the line's far end
        self.master = master
        self.lock = threading.Lock()
        self.host = None     # the host process the line belongs to
        self.moment = None   # the kill armed for that host's next issue or return
        self.killed = collections.Counter()
        self.stopping = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def arm(self, process, moment):
        with self.lock:
            self.host, self.moment = process, moment

    def stop(self):
        self.stopping = True
        self.thread.join(timeout=5)
        os.close(self.master)

    def _kill(self):
        # Called with the lock held, the moment it is due: nothing more reaches the host after it.
        if self.host is not None and self.host.poll() is None:
            self.host.kill()
            self.killed[self.moment] += 1
        self.moment = None

    def run(self):
        import select
        sim_fd, sim_path = None, None
        upward = b""    # host -> processor bytes not yet making a whole request
        answer = None   # bytes of the answer to an armed issue or return, while it arrives
        while not self.stopping:
            try:
                path = os.path.realpath(self.target) if os.path.lexists(self.target) else None
            except OSError:
                path = None
            if path != sim_path:
                if sim_fd is not None:
                    os.close(sim_fd)
                sim_fd, sim_path = None, path
                if path:
                    try:
                        sim_fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                        tty.setraw(sim_fd)
                    except OSError:
                        sim_fd = None
            fds = [self.master] + ([sim_fd] if sim_fd is not None else [])
            ready, _, _ = select.select(fds, [], [], 0.01)
            if self.master in ready:
                try:
                    data = os.read(self.master, 4096)
                except OSError:  # no host holds the line
                    data = b""
                    time.sleep(0.002)
                upward += data
                with self.lock:
                    while len(upward) >= 5:
                        start = upward.find(b"\x1b\x10")
                        if start < 0:
                            upward = upward[-1:]
                            break
                        upward = upward[start:]
                        whole = ((upward[3] << 8) | upward[4]) + 2
                        if len(upward) < whole:
                            break
                        frame, upward = upward[:whole], upward[whole:]
                        if sim_fd is not None:
                            try:
                                os.write(sim_fd, frame)
                            except OSError:
                                pass
                        if frame[2] in (0x34, 0x35) and self.moment:
                            if self.moment == "request delivered":
                                if sim_fd is not None:
                                    termios.tcdrain(sim_fd)
                                self._kill()
                            else:
                                answer = b""
            if sim_fd is not None and sim_fd in ready:
                try:
                    data = os.read(sim_fd, 4096)
                except OSError:
                    data = b""
                with self.lock:
                    alive = self.host is not None and self.host.poll() is None
                    if answer is not None and self.moment and data:
                        answer += data
                        if len(answer) >= 4:
                            length = (answer[2] << 8) | answer[3]
                            whole = length + 2 if answer[:2] == b"OK" else length
                            if self.moment == "half the answer":
                                os.write(self.master, answer[:max(1, whole // 2)])
                                self._kill()
                                answer = None
                            elif len(answer) >= whole:
                                os.write(self.master, answer[:whole])
                                self._kill()
                                answer = None
                        data = b""
                    if data and alive:
                        try:
                            os.write(self.master, data)
                        except OSError:
                            pass
        if sim_fd is not None:
            os.close(sim_fd)


class Host:
    def __init__(self, program, work, tick_ms, device, relay=None):
        self.program = program
        self.relay = relay
        device = relay.device if relay else device
        self.data = os.path.join(work, "data")
        os.makedirs(self.data, exist_ok=True)
        self.env = dict(os.environ, KARVEX_COM1=device, KARVEX_TICK_MS=str(tick_ms), QT_QPA_PLATFORM="offscreen")
        self.env.setdefault("ASAN_OPTIONS", "detect_leaks=0")

    def spawn(self, args):
        p = subprocess.Popen([self.program, "--data-dir", self.data, "--port", "1"] + args, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=self.env, text=True)
        if self.relay:
            self.relay.arm(p, None)  # the line is this process's now
        return p

    def run(self, args):
        p = self.spawn(args)
        out, err = p.communicate(timeout=HOST_TIME_LIMIT)
        return p.returncode, parse_json(out), err


def parse_json(text):
    for line in reversed(text.splitlines()):
        line = line.strip()
        if line.startswith("{"):
            try:
                return json.loads(line)
            except ValueError:
                return None
    return None


def output(obj, name):
    """An output of the tool's JSON by name, whatever its spelling (InvNum, inv_num, invNum)."""
    want = name.replace("_", "").lower()
    for key, value in (obj or {}).get("outputs", {}).items():
        if key.replace("_", "").lower() == want:
            return value
    return None


def number(text):
    try:
        return int(str(text).strip())
    except ValueError:
        return None


class Sale:
    def __init__(self, index, seed, rng, original=None, same=False):
        self.id = "c%d-%05d" % (seed, index)
        self.original = original  # the Sale being returned, for a return
        if original:
            self.items = original.items
            self.payer = "退货" if same else "退货 " + self.id
        elif same:
            self.items = [("矿泉水", 1, 200, 200, 1)]
            self.payer = "顾客"
        else:
            self.items = []
            for _ in range(rng.randint(1, 3)):
                quantity, price = rng.randint(1, 5), rng.randint(50, 2000)
                self.items.append((rng.choice(GOODS), quantity, price, quantity * price, rng.choice([1, 2])))
            self.payer = "顾客 " + self.id
        self.kind = 53 if original else 52
        self.voided = False
        self.restored_away = False  # issued while a copy of the store was aside; the copy came back
        self.issued = False
        self.returned = False
        self.inv_num = None
        self.attempts = 0
        self.first_failure = None
        self.resolving = 0.0

    def args(self):
        items = ";".join("%s:%d:%.2f:%.2f:%d" % (n, q, p / 100, a / 100, t) for n, q, p, a, t in self.items)
        args = ["return" if self.original else "issue", "--sale-id", self.id, "--items", items,
                "--pay-unit", self.payer]
        if self.original:
            args += ["--o-inv-num", "%010d" % self.original.inv_num]
        return args


class Campaign:
    def __init__(self, opts):
        self.o = opts
        self.rng = random.Random(opts.seed)
        self.work = opts.work or tempfile.mkdtemp(prefix="karvex-campaign-")
        os.makedirs(self.work, exist_ok=True)
        self.sim = Processor(opts.sim, self.work, opts.seed, opts.fault_rate, opts.late_ms, opts.rolls, opts.pace,
                             opts.roll_size, opts.renumber_rolls)
        if opts.days > 1:
            self.sim.clock = "20240301090000"
        self.snapshot = None   # the copy of the store set aside, and the sales issued since
        self.doubles = self.losses = 0
        self.relay = Relay(self.work, self.sim.device) if opts.relay_kill_rate > 0 else None
        self.host = Host(opts.karvex, self.work, opts.tick_ms, self.sim.device, self.relay)
        self.sales = []
        self.events = collections.Counter()     # faults the campaign commits itself
        self.outcomes = collections.Counter()   # what each host call ended with
        self.anomalies = []
        self.outage = 0                        # attempts left before the processor is back
        self.durations = collections.deque(maxlen=50)
        self.started = time.monotonic()

    # ---- one host call, with whatever the campaign does to it meanwhile ----

    def attempt(self, sale, quiet=False):
        event = None
        if not quiet:
            if self.outage > 0:
                self.outage -= 1
                if self.outage == 0:
                    self.restore()
            roll = self.rng.random()
            if roll < self.o.kill_rate:
                event = "host killed"
            elif self.sim.up() and not self.sim.mute and roll < self.o.kill_rate + self.o.outage_rate:
                event = self.rng.choice(["port pulled", "processor power cut", "processor unreachable"])
        typical = statistics.median(self.durations) if self.durations else 1.0
        # Half the moments fall anywhere in the call, half just after the request reached the processor,
        # while its answer is still on the line: the moment that decides whether a sale is in doubt.
        targeted = self.rng.random() < 0.5
        at = self.rng.uniform(0.0, 0.12) if targeted else self.rng.uniform(0.0, 1.2 * typical)
        log_size = os.path.getsize(self.sim.log) if os.path.exists(self.sim.log) else 0
        begun = time.monotonic()
        p = self.host.spawn(sale.args())
        sale.attempts += 1
        if self.relay:
            exact = not quiet and not event and self.rng.random() < self.o.relay_kill_rate
            self.relay.arm(p, self.rng.choice(Relay.MOMENTS) if exact else None)
        if event:
            running = self.wait_for_request(p, log_size) if targeted else True
            if running:
                try:
                    p.wait(timeout=at)
                    running = False
                except subprocess.TimeoutExpired:
                    pass
            if event == "host killed":
                if running:
                    p.kill()
                    self.events[event + (" after sending" if targeted else "")] += 1
            else:
                self.pull(event)
                self.events[event] += 1
        try:
            out, err = p.communicate(timeout=HOST_TIME_LIMIT)
        except subprocess.TimeoutExpired:
            p.kill()
            p.communicate()
            self.anomalies.append("%s: host call still running after %d s" % (sale.id, HOST_TIME_LIMIT))
            return "hung"
        spent = time.monotonic() - begun
        if p.returncode == -signal.SIGKILL:
            return self.note(sale, "killed", begun)
        result = parse_json(out)
        if p.returncode == 2 or result is None:
            raise RuntimeError("karvex %s: exit %s\n%s%s" % (" ".join(sale.args()), p.returncode, out, err))
        code = result.get("result")
        if result.get("method") == "LoadFiscalForm":
            kind = "no link (%d)" % code
        elif code == 0:
            kind = "issued"
            if not event:
                self.durations.append(spent)
        elif code == IN_DOUBT:
            kind = "in doubt (143)"
        elif code in REFUSALS:
            kind = "refused by the processor (%d)" % code
        elif code in LOST_ANSWER:
            kind = "answer lost, not issued (%d)" % code
        else:
            kind = "other (%d)" % code
            if code in (138, 139):
                self.anomalies.append("%s: %d %s" % (sale.id, code, result.get("description")))
        return self.note(sale, kind, begun)

    def wait_for_request(self, p, log_size):
        """Waits until the processor logs an issue or return request of this call; False if the call ends first."""
        seen = b""
        while p.poll() is None:
            if os.path.exists(self.sim.log):
                with open(self.sim.log, "rb") as f:
                    f.seek(log_size)
                    seen = f.read()
                if re.search(rb"^<< 1B 10 3[45] ", seen, re.M):
                    return True
            time.sleep(0.003)
        return False

    def note(self, sale, kind, begun):
        self.outcomes[kind] += 1
        now = time.monotonic()
        if kind == "issued":
            sale.issued = True
            if sale.first_failure is not None:
                sale.resolving = now - sale.first_failure
        elif sale.first_failure is None:
            sale.first_failure = begun
        return kind

    def pull(self, event):
        if event == "processor unreachable":
            self.sim.stop()
            self.sim.start(mute=True)
        else:
            self.sim.stop(hard=event == "processor power cut")
        self.outage = self.rng.randint(1, 3)

    def restore(self):
        if self.sim.up():
            self.sim.stop()
        self.sim.start()

    # ---- what happens between sales ----

    def between_sales(self, index):
        if self.o.days > 1 and index > 1 and (index - 1) % max(1, self.o.sales // self.o.days) == 0:
            # The next day: the processor's last invoice is now another day's.
            day = 1 + (index - 1) // max(1, self.o.sales // self.o.days)
            self.sim.clock = "202403%02d090000" % min(28, day)
            self.restore()
            self.events["the next day"] += 1
        if self.o.restore_share and self.rng.random() < self.o.restore_share:
            store = os.path.join(self.host.data, "FiscalMachine.mdb")
            copy = os.path.join(self.work, "store-copy")
            if self.snapshot is None and os.path.exists(store):
                for tail in ("", "-wal", "-shm"):
                    if os.path.exists(store + tail):
                        shutil.copy2(store + tail, copy + tail)
                    elif os.path.exists(copy + tail):
                        os.unlink(copy + tail)
                self.snapshot = (copy, [])
                self.events["store copied aside"] += 1
            elif self.snapshot is not None:
                for tail in ("", "-wal", "-shm"):
                    if os.path.exists(copy + tail):
                        shutil.copy2(copy + tail, store + tail)
                    elif os.path.exists(store + tail):
                        os.unlink(store + tail)
                for sale in self.snapshot[1]:
                    sale.restored_away = True
                self.snapshot = None
                self.events["store restored from the copy"] += 1

    def late_refusal(self):
        """A host asks the current number; the processor holds the answer back and the host dies. The "NP" it
        owed comes when the next host's first request is on the line."""
        if self.sim.up():
            self.sim.stop()
        self.sim.start(extra=["--fault", "CurrentInvoice:owe"])
        log_size = os.path.getsize(self.sim.log) if os.path.exists(self.sim.log) else 0
        p = self.host.spawn(["number"])
        deadline = time.monotonic() + HOST_TIME_LIMIT
        while p.poll() is None and time.monotonic() < deadline:
            with open(self.sim.log, "rb") as f:
                f.seek(log_size)
                if b"fault CurrentInvoice:owe" in f.read():
                    break
            time.sleep(0.003)
        if p.poll() is None:
            p.kill()
        p.communicate()
        self.events["late refusal owed to a killed host"] += 1

    def void(self, sale):
        code, result, _ = self.host.run(["sale", "--sale-id", sale.id])
        number = output(result, "InvNum") if code == 0 else None
        if not number:
            return
        code, result, _ = self.host.run(["void", "--inv-num", number])
        if (result or {}).get("result") == 0:
            sale.voided = True
            self.events["invoice voided"] += 1

    # ---- the run ----

    def sell(self, sale):
        while not sale.issued and sale.attempts < self.o.max_attempts:
            self.attempt(sale)

    def invoice_number(self, sale):
        """The number a cashier reads off the paper invoice of a sale (the processor printed it there)."""
        if self.o.same_content:
            code, result, _ = self.host.run(["sale", "--sale-id", sale.id])
            return number(output(result, "InvNum") or "") if code == 0 else None
        for inv in read_invoices(self.sim.state):
            if inv["kind"] == 1 and inv["payer"].endswith(sale.id):
                return inv["number"]
        return None

    def run(self):
        self.sim.start()
        returnable = []
        for index in range(1, self.o.sales + 1):
            original = None
            if returnable and self.rng.random() < self.o.return_share:
                candidate = returnable[self.rng.randrange(len(returnable))]
                candidate.inv_num = candidate.inv_num or self.invoice_number(candidate)
                if candidate.inv_num:
                    original = candidate
                    returnable.remove(candidate)
            self.between_sales(index)
            sale = Sale(index, self.o.seed, self.rng, original, self.o.same_content)
            self.sales.append(sale)
            if self.o.late_refusal_rate and self.rng.random() < self.o.late_refusal_rate:
                self.late_refusal()
            self.sell(sale)
            if self.snapshot is not None and sale.issued:
                self.snapshot[1].append(sale)
            if sale.issued and not original and self.o.void_share and self.rng.random() < self.o.void_share:
                self.void(sale)
            if sale.issued and not original and not sale.voided:
                returnable.append(sale)
            if index % 100 == 0 or index == self.o.sales:
                print("... %d sales, %.0f s" % (index, time.monotonic() - self.started), file=sys.stderr, flush=True)
        # A quiet line at the end: each sale still without an invoice gets its last tries.
        self.outage = 0
        self.restore_quiet()
        late = [s for s in self.sales if not s.issued]
        for sale in late:
            for _ in range(5):
                if self.attempt(sale, quiet=True) == "issued":
                    break
        self.final_retries = len(late)
        code, journal, err = self.host.run(["dump", "--table", "SalesJournal"])
        self.sim.stop()
        if code != 0 or journal is None:
            raise RuntimeError("karvex dump --table SalesJournal: exit %s\n%s" % (code, err))
        self.rows = output(journal, "rows") or []
        self.invoices = read_invoices(self.sim.state)
        self.check()

    def restore_quiet(self):
        if self.sim.up():
            self.sim.stop()
        self.sim.start(faults=False)

    # ---- the verdict ----

    def check(self):
        bad = self.anomalies
        by_id = {s.id: s for s in self.sales}
        # The processor's invoices, each to the sale its payer names.
        on_invoices = collections.defaultdict(list)
        # With every sale alike, an invoice is a sale's when the sale's journal row names its tax code.
        by_code = {number(r.get("TaxCode") or ""): str(r.get("SaleId") or "") for r in self.rows
                   if r.get("SaleId") and r.get("State") in ISSUED_STATES}
        for inv in self.invoices:
            if self.o.same_content:
                owner = by_code.get(inv["code"])
            else:
                m = re.search(r"c%d-\d{5}" % self.o.seed, inv["payer"])
                owner = m.group(0) if m else None
            if owner not in by_id:
                bad.append("invoice %d (%s) belongs to no sale" % (inv["number"], inv["payer"]))
                self.doubles += 1
                continue
            on_invoices[owner].append(inv)
        rows = collections.defaultdict(list)
        for row in self.rows:
            rows[str(row.get("SaleId") or "")].append(row)
        self.final_states = collections.Counter()
        for sale in self.sales:
            invs, sale_rows = on_invoices.get(sale.id, []), rows.get(sale.id, [])
            if len(invs) > 1:
                bad.append("%s is on %d invoices: %s" % (sale.id, len(invs), [i["number"] for i in invs]))
                self.doubles += len(invs) - 1
            if sale.issued and not invs:
                self.losses += 1
            if sale.restored_away and not sale_rows:
                # Its row went with the restored copy; the processor's invoice is its one.
                if len(invs) != 1:
                    bad.append("%s (issued before the store was restored) is on %d invoices" % (sale.id, len(invs)))
                continue
            if len(sale_rows) != 1:
                bad.append("%s has %d journal rows" % (sale.id, len(sale_rows)))
                continue
            row = sale_rows[0]
            state = row.get("State")
            self.final_states[state] += 1
            if sale.issued and state not in ISSUED_STATES:
                bad.append("%s was issued (result 0) but the journal says %s" % (sale.id, state))
            # An answered issue may know only its tax control code (the answer does not name the number).
            named_number, named_code = number(row.get("InvNum") or ""), number(row.get("TaxCode") or "")
            if state in ISSUED_STATES:
                if len(invs) != 1:
                    bad.append("%s is %s in the journal but on %d invoices" % (sale.id, state, len(invs)))
                elif named_number is None and named_code is None:
                    bad.append("%s is %s in the journal without an invoice number or tax code" % (sale.id, state))
                elif named_number not in (None, invs[0]["number"]) or named_code not in (None, invs[0]["code"]):
                    bad.append("%s: the journal names invoice %s (tax code %s), the processor issued %d (%d)" %
                               (sale.id, row.get("InvNum"), row.get("TaxCode"), invs[0]["number"], invs[0]["code"]))
                elif invs[0]["kind"] != (2 if sale.original else 1) or row.get("Kind") != sale.kind:
                    bad.append("%s: invoice %d is of kind %d" % (sale.id, invs[0]["number"], invs[0]["kind"]))
                elif sale.original and invs[0]["original"] != sale.original.inv_num:
                    bad.append("%s returns %d, the processor's return names %d" %
                               (sale.id, sale.original.inv_num, invs[0]["original"]))
            elif invs:
                bad.append("%s is %s in the journal but the processor issued %d" % (sale.id, state, invs[0]["number"]))
            if not invs:
                bad.append("%s has no invoice after its last tries on a quiet line" % sale.id)
        # Voids and the invoices a restored store did not know are rows without a sale id.
        stray = [r for r in self.rows
                 if str(r.get("SaleId") or "") not in by_id and r.get("State") != "elsewhere" and r.get("Kind") != 54]
        if stray:
            bad.append("%d journal rows belong to no sale of this run" % len(stray))

    def report(self):
        elapsed = time.monotonic() - self.started
        returns = sum(1 for s in self.sales if s.original)
        attempts = sum(s.attempts for s in self.sales)
        print("sales: %d (%d issues, %d returns), %d host calls, %.0f s" %
              (len(self.sales), len(self.sales) - returns, returns, attempts, elapsed))
        faults, on_sales = read_faults(self.sim.log)
        faults.update(self.events)
        if self.relay:
            faults.update({"host killed at " + k: v for k, v in self.relay.killed.items()})
        print("faults by kind (all; on an issue or return request):")
        for kind, count in sorted(faults.items(), key=lambda kv: -kv[1]):
            print("  %-34s %6d %6s" % (kind, count, on_sales[kind] if kind in on_sales else ""))
        print("  %-34s %6d %6d" % ("in all", sum(faults.values()), sum(on_sales.values())))
        print("host calls by outcome:")
        for kind, count in sorted(self.outcomes.items(), key=lambda kv: -kv[1]):
            print("  %-34s %6d" % (kind, count))
        print("verdicts in the journal:")
        for state, count in sorted(self.final_states.items(), key=lambda kv: -kv[1]):
            print("  %-34s %6d" % (state, count))
        troubled = [s for s in self.sales if s.first_failure is not None and s.issued]
        if troubled:
            times = sorted(s.resolving for s in troubled)
            print("time spent resolving: %d sales needed more than one call; %.1f s in all, mean %.2f s, "
                  "median %.2f s, 95th percentile %.2f s, longest %.2f s" %
                  (len(times), sum(times), sum(times) / len(times), times[len(times) // 2],
                   times[min(len(times) - 1, int(len(times) * 0.95))], times[-1]))
        print("sales without an invoice before the quiet line: %d" % self.final_retries)
        print("processor invoices: %d, journal rows: %d" % (len(self.invoices), len(self.rows)))
        print("sales: %d, invoices: %d, doubles: %d, losses: %d" %
              (len(self.sales), len(self.invoices), self.doubles, self.losses))
        if self.anomalies:
            print("DISAGREEMENTS: %d" % len(self.anomalies))
            for line in self.anomalies[:50]:
                print("  " + line)
        else:
            print("processor and journal agree one to one")


def read_invoices(path):
    invoices = []
    with open(path, encoding="ascii") as f:
        for line in f:
            cells = line.split()
            if not cells or cells[0] != "invoice":
                continue
            payer = b"" if cells[11] == "-" else bytes.fromhex(cells[11])
            invoices.append({"number": int(cells[1]), "kind": int(cells[2]), "original": int(cells[5]),
                             "code": int("%d%010d" % (int(cells[9]), int(cells[10]))),
                             "payer": payer.decode("gbk", "replace").strip(" \0")})
    return [i for i in invoices if i["kind"] in (1, 2)]


def read_faults(path):
    """The processor's faults by kind, from its log: on any request, and on issue and return requests."""
    faults, on_sales = collections.Counter(), collections.Counter()
    if not os.path.exists(path):
        return faults, on_sales
    with open(path, encoding="ascii", errors="replace") as f:
        for line in f:
            if line.startswith(";; fault "):
                what = line[len(";; fault "):].split()
                if "always" in what:
                    continue  # the drops of an unreachable processor, counted as that
                command, kind = what[0].split(":")[:2]
                faults[kind] += 1
                if command in ("MakeInvoice", "ReturnInvoice"):
                    on_sales[kind] += 1
    return faults, on_sales


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--karvex", required=True, help="the karvex tool")
    ap.add_argument("--sim", required=True, help="karvex-sim")
    ap.add_argument("--sales", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--fault-rate", type=float, default=0.2, help="share of requests the processor faults")
    ap.add_argument("--late-ms", type=int, default=1500, help="longest random late answer")
    ap.add_argument("--kill-rate", type=float, default=0.12, help="share of host calls killed")
    ap.add_argument("--outage-rate", type=float, default=0.03,
                    help="share of host calls during which the port is pulled or the processor becomes unreachable")
    ap.add_argument("--return-share", type=float, default=0.12)
    ap.add_argument("--tick-ms", type=int, default=10, help="the link's tick (a time-out is 30 ticks)")
    ap.add_argument("--pace", type=int, default=9600, choices=[0, 9600, 38400],
                    help="the processor answers at this line speed (0: at once)")
    ap.add_argument("--max-attempts", type=int, default=40)
    ap.add_argument("--rolls", type=int, default=0, help="invoice rolls (default: enough for the sales)")
    ap.add_argument("--work", help="keep the processor's state, its log and the store here")
    ap.add_argument("--same-content", action="store_true", help="every sale has the same goods, total and payer")
    ap.add_argument("--late-refusal-rate", type=float, default=0.0,
                    help="share of sales before which a killed host leaves an owed \"NP\" on the line")
    ap.add_argument("--void-share", type=float, default=0.0, help="share of issued sales voided afterwards")
    ap.add_argument("--restore-share", type=float, default=0.0,
                    help="chance per sale that the store is copied aside, or the copy put back")
    ap.add_argument("--days", type=int, default=1, help="days the run spans (the processor's clock moves on)")
    ap.add_argument("--roll-size", type=int, default=0, help="invoices per roll (default: the processor's)")
    ap.add_argument("--renumber-rolls", action="store_true", help="every roll numbers from 1 again")
    ap.add_argument("--relay-kill-rate", type=float, default=0.0,
                    help="share of host calls killed at an exact moment of the line, through a relay")
    opts = ap.parse_args()
    opts.rolls = opts.rolls or min(1000, opts.sales * 2 // max(1, opts.roll_size or 100) + 2)
    if opts.renumber_rolls:
        opts.return_share = 0.0  # a return names its invoice by number alone, which two rolls then share
    if opts.same_content and opts.restore_share:
        ap.error("--restore-share needs sales told apart by their payer: a restored journal cannot name them all")
    campaign = Campaign(opts)
    try:
        campaign.run()
        campaign.report()
    except (RuntimeError, OSError, subprocess.SubprocessError) as e:
        print("sales_campaign: %s" % e, file=sys.stderr)
        campaign.sim.stop()
        return 2
    finally:
        if campaign.relay:
            campaign.relay.stop()
        if not opts.work:
            shutil.rmtree(campaign.work, ignore_errors=True)
    return 1 if campaign.anomalies else 0


if __name__ == "__main__":
    sys.exit(main())
