// The status page of karvexd: polls /v1/status and /v1/sales, follows /v1/events for the command log and
// the progress of long uploads. Plain script, no libraries: the page is served by the service itself and
// its Content-Security-Policy lets it load nothing from elsewhere.
'use strict';

(() => {
  const STATUS_MS = 2000;
  const SALES_MS = 10000;
  const MAX_LOG_LINES = 500;
  const TOKEN_KEY = 'karvexd.token';
  // The processor counts at most this many frames ahead: while it says so, the total is only a lower bound.
  const FOLLOW_CAP = 255;

  const $ = (id) => document.getElementById(id);
  let token = null;
  let timers = [];
  let events = null;
  let progress = null;  // the last "progress" event while an upload runs
  let salesSoon = null;

  class Refused extends Error {}

  // A token in the address (#token=...) is kept for this tab only and taken out of the address bar, so that
  // it is neither bookmarked nor shown over someone's shoulder.
  function takeToken() {
    const match = /(?:^#|&)token=([^&]*)/.exec(location.hash);
    if (match) {
      const given = decodeURIComponent(match[1]).trim();
      if (given) sessionStorage.setItem(TOKEN_KEY, given);
      history.replaceState(null, '', location.pathname + location.search);
    }
    return sessionStorage.getItem(TOKEN_KEY);
  }

  async function api(path) {
    const response = await fetch(path, { headers: { Authorization: 'Bearer ' + token }, cache: 'no-store' });
    let body = null;
    try {
      body = await response.json();
    } catch (e) {
      body = null;
    }
    if (response.status === 401) throw new Refused();
    if (!response.ok) {
      const message = body && body.message ? body.message : 'HTTP ' + response.status;
      throw new Error(message);
    }
    return body;
  }

  function badge(element, on, text) {
    element.textContent = text;
    element.className = 'badge ' + (on === null ? '' : on ? 'on' : 'off');
  }

  function askToken(hint) {
    stop();
    sessionStorage.removeItem(TOKEN_KEY);
    token = null;
    $('panels').hidden = true;
    $('token-form').hidden = false;
    $('token-hint').textContent = hint;
    badge($('service'), false, '未登录');
    $('token-input').focus();
  }

  function failed(error) {
    if (error instanceof Refused) {
      askToken('令牌无效或已更换，请重新输入');
      return true;
    }
    return false;
  }

  // ---- status and the command in flight

  // The background sync with the central database (karvexd --sync): rows waiting, the last success, and
  // the last error while the sync keeps failing.
  function syncText(sync) {
    if (!sync) return '未启用';
    let text = '待发送 ' + (sync.waiting || 0) + ' 行';
    text += sync.last_success ? '，上次成功 ' + sync.last_success : '，尚未成功';
    if (sync.failures) text += '，连续失败 ' + sync.failures + ' 次：' + (sync.last_error || '');
    return text;
  }

  function showStatus(s) {
    badge($('service'), true, '服务已连接');
    badge($('online'), !!s.online, s.online ? '已联机' : '未联机');
    const line = s.line || {};
    let text = line.port ? '端口 ' + line.port : '未设置';
    if (line.device) text += '（' + line.device + '）';
    text += line.open ? '，已打开' : '，未打开';
    $('line').textContent = text;
    $('queue').textContent = (s.queue || 0) + ' 个';
    $('store').textContent = s.store || '—';
    $('version').textContent = s.version || '—';
    $('sync').textContent = syncText(s.sync);

    const flight = s.in_flight;
    if (!flight) {
      progress = null;
      $('command').textContent = '空闲';
      $('progress-box').hidden = true;
      return;
    }
    $('command').textContent = '正在执行：' + (flight.command || '命令');
    if (!progress && flight.received) showProgress({ received: flight.received, total: flight.total });
  }

  function showProgress(p) {
    const box = $('progress-box');
    const bar = $('progress');
    if (p.done) {
      box.hidden = true;
      return;
    }
    box.hidden = false;
    const received = Number(p.received) || 0;
    const total = Number(p.total) || 0;
    if (total > 0) {
      const atLeast = p.at_least !== undefined ? !!p.at_least : total - received >= FOLLOW_CAP;
      bar.max = total;
      bar.value = Math.min(received, total);
      // A share of a lower bound would overstate how far the answer has come: it is left out.
      $('progress-text').textContent =
        (p.label ? p.label + '：' : '') + '已收 ' + received + ' 帧，共 ' + (atLeast ? '≥' : '') + total + ' 帧' +
        (atLeast ? '' : '（' + Math.floor((100 * Math.min(received, total)) / total) + '%）') +
        (p.seconds_left >= 0 ? '，约剩 ' + p.seconds_left + ' 秒' : '');
    } else {
      bar.removeAttribute('value');  // total not known yet: an indeterminate bar
      $('progress-text').textContent = (p.label ? p.label + '：' : '') + '已收 ' + received + ' 帧';
    }
  }

  async function refreshStatus() {
    try {
      showStatus(await api('/v1/status'));
    } catch (error) {
      if (failed(error)) return;
      badge($('service'), false, '无法连接服务');
      badge($('online'), null, '未知');
    }
    if (events && events.readyState === EventSource.CLOSED) openEvents();
  }

  // ---- the latest sales

  const STATES = {
    sent: '已发送',
    answered: '已开具',
    issued: '已开具',
    'not-issued': '未开具',
    'in-doubt': '结果待定',
  };

  function field(row, ...names) {
    for (const name of names) {
      if (row[name] !== undefined && row[name] !== null && row[name] !== '') return row[name];
    }
    return '';
  }

  // The service names a sale's kind ("issue" or "return"); the page never sees the journal's numbers.
  function kindText(kind) {
    if (kind === 'return') return '退票';
    if (kind === 'issue') return '开票';
    return String(kind || '');
  }

  function amountText(value) {
    const n = Number(value);
    return value === '' || !Number.isFinite(n) ? String(value) : n.toFixed(2);
  }

  // yyyymmddhhmm from an answer, yyyymmdd when read back from print data.
  function dateText(value) {
    const m = /^(\d{4})(\d{2})(\d{2})(?:(\d{2})(\d{2}))?$/.exec(String(value));
    if (!m) return String(value);
    return m[1] + '-' + m[2] + '-' + m[3] + (m[4] ? ' ' + m[4] + ':' + m[5] : '');
  }

  // While a sale is in doubt the service refuses every new one: the operator must know that, and what to do.
  function showDoubt(rows) {
    const banner = $('doubt');
    const doubt = rows.find((row) => String(field(row, 'state', 'State')) === 'in-doubt');
    banner.hidden = !doubt;
    if (!doubt) return;
    const when = dateText(field(doubt, 'date_time', 'DateTime')) || field(doubt, 'created_at', 'CreatedAt');
    const title = document.createElement('span');
    title.textContent = '销售 ' + (field(doubt, 'sale_id', 'SaleId') || '—') + (when ? '（' + when + '）' : '') +
      ' 结果待定：查明之前，所有新的销售都会被拒绝。';
    const advice = document.createElement('span');
    advice.textContent = '请检查税控器的电源和串口线路；线路恢复、查明这笔销售的结果之后，才能继续开票。';
    banner.replaceChildren(title, advice);
  }

  function showSales(body) {
    const rows = Array.isArray(body) ? body : (body && (body.sales || body.rows)) || [];
    showDoubt(rows);
    const headings = [...document.querySelectorAll('#panels thead th')].map((th) => th.textContent);
    const tbody = $('sales');
    tbody.replaceChildren();
    for (const row of rows) {
      const state = String(field(row, 'state', 'State'));
      const tr = document.createElement('tr');
      tr.className = state;
      const cells = [
        [field(row, 'sale_id', 'SaleId') || '—', ''],
        [kindText(field(row, 'kind', 'Kind')), ''],
        [STATES[state] || state, ''],
        [field(row, 'invoice_number', 'InvNum'), ''],
        [amountText(field(row, 'total', 'Total')), 'num'],
        [field(row, 'tax_code', 'TaxCode'), 'code'],
        [dateText(field(row, 'date_time', 'DateTime')) || field(row, 'created_at', 'CreatedAt'), ''],
      ];
      cells.forEach(([text, cls], i) => {
        const td = document.createElement('td');
        td.textContent = text;
        // The heading beside the value where the table is shown as one block per sale.
        td.dataset.label = headings[i] || '';
        if (cls) td.className = cls;
        tr.appendChild(td);
      });
      tbody.appendChild(tr);
    }
    $('sales-note').hidden = rows.length > 0;
    $('sales-note').textContent = '暂无销售记录';
  }

  async function refreshSales() {
    try {
      showSales(await api('/v1/sales?limit=20'));
    } catch (error) {
      if (failed(error)) return;
      $('sales-note').hidden = false;
      $('sales-note').textContent = '无法读取销售记录：' + error.message;
    }
  }

  // ---- the live log

  function appendLog(text) {
    const list = $('log');
    const atBottom = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    for (const line of text.split('\n')) {
      const item = document.createElement('li');
      item.textContent = line;
      list.appendChild(item);
    }
    while (list.childElementCount > MAX_LOG_LINES) list.firstElementChild.remove();
    if (atBottom) list.scrollTop = list.scrollHeight;
    // A new log line often means a sale ended: read the journal again, once for a burst of lines.
    if (!salesSoon) salesSoon = setTimeout(() => { salesSoon = null; refreshSales(); }, 500);
  }

  function openEvents() {
    if (events) events.close();
    const stream = new EventSource('/v1/events?token=' + encodeURIComponent(token));
    events = stream;
    badge($('stream'), null, '连接中…');
    stream.onopen = () => badge($('stream'), true, '已连接');
    stream.onerror = () => {
      // A refused or dropped stream is opened again by the status poll (a bad token is caught there).
      badge($('stream'), false, stream.readyState === EventSource.CLOSED ? '已断开' : '重新连接中…');
    };
    stream.addEventListener('log', (e) => appendLog(e.data));
    stream.addEventListener('progress', (e) => {
      let p;
      try {
        p = JSON.parse(e.data);
      } catch (error) {
        return;
      }
      progress = p.done ? null : p;
      if (p.done) {
        $('command').textContent = '空闲';  // the status poll names the next command, if one follows
      } else if (p.command) {
        $('command').textContent = '正在执行：' + p.command;
      }
      showProgress(p);
    });
  }

  // ---- start and stop

  function start() {
    $('token-form').hidden = true;
    $('panels').hidden = false;
    refreshStatus();
    refreshSales();
    openEvents();
    timers.push(setInterval(refreshStatus, STATUS_MS));
    timers.push(setInterval(refreshSales, SALES_MS));
  }

  function stop() {
    timers.forEach(clearInterval);
    timers = [];
    if (events) events.close();
    events = null;
  }

  $('token-form').addEventListener('submit', (e) => {
    e.preventDefault();
    const given = $('token-input').value.trim();
    if (!given) return;
    $('token-input').value = '';
    sessionStorage.setItem(TOKEN_KEY, given);
    token = given;
    start();
  });

  token = takeToken();
  if (token) {
    start();
  } else {
    askToken('请输入访问令牌（服务数据目录中 karvexd.token 文件的内容）');
  }
})();
