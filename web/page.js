// The page: picks the bridges (virtual ones, or those granted over WebHID),
// checks the image with the engine before any device is touched, runs one
// engine instance per bridge at once and draws each run from its JSON
// objects (start, progress, end; list and info documents).
(function () {
  'use strict';

  const $ = (id) => document.getElementById(id);
  const CP2112 = { vendorId: 0x10c4, productId: 0xea90 };
  const CUSTOM = { vendorId: 0x1209, productId: 0x7750 };
  const WAITING_AFTER_MS = 1000;  // no progress for this long: waiting for the controller

  const state = { image: null, granted: [], running: false, log: [], virtualFlash: {} };

  // ---- Log ---------------------------------------------------------------
  function log(text) {
    const line = `${new Date().toISOString().slice(11, 19)} ${text}`;
    state.log.push(line);
    const pane = $('log');
    pane.textContent += line + '\n';
    pane.scrollTop = pane.scrollHeight;
  }

  function download(bytes, name, type) {
    const url = URL.createObjectURL(new Blob([bytes], { type }));
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  }

  // ---- What this browser can do -----------------------------------------
  function checkSupport() {
    const problems = [];
    if (!window.isSecureContext) {
      problems.push('This page is not in a secure context: open it over HTTPS or from localhost to reach USB devices.');
    }
    if (!('hid' in navigator)) {
      problems.push('This browser has no WebHID, so it cannot open the bridges (Firefox and Safari have none). ' +
                    'Use Chrome, Edge or Opera on a desktop; the virtual mode works here all the same.');
    }
    if (problems.length) {
      $('support').textContent = problems.join(' ');
      $('support').hidden = false;
      $('mode-webhid').disabled = true;
    }
    return problems.length === 0;
  }

  // ---- Bridges -----------------------------------------------------------
  function mode() { return $('mode-webhid').checked ? 'webhid' : 'virtual'; }

  function extraIds() {
    const ids = [];
    for (const part of $('extra-ids').value.split(',').map((s) => s.trim()).filter(Boolean)) {
      const m = /^([0-9a-f]{1,4}):([0-9a-f]{1,4})$/i.exec(part);
      if (!m || parseInt(m[1], 16) === 0 || parseInt(m[2], 16) === 0) {
        throw new Error(`"${part}" is not a VID:PID pair in hex`);
      }
      ids.push({ vendorId: parseInt(m[1], 16), productId: parseInt(m[2], 16) });
    }
    return ids;
  }

  const hex4 = (n) => n.toString(16).padStart(4, '0');
  const isBridge = (d, ids) => [CP2112, CUSTOM, ...ids].some((f) => f.vendorId === d.vendorId && f.productId === d.productId);

  async function refreshGranted() {
    if (!('hid' in navigator)) return;
    let ids = [];
    try { ids = extraIds(); } catch (error) { ids = []; }
    const devices = await navigator.hid.getDevices();
    // One HIDDevice per interface: a bridge is the one with reports.
    state.granted = devices.filter((d) => isBridge(d, ids) && (d.collections || []).length > 0);
    drawRows();
  }

  async function connect() {
    let ids;
    try { ids = extraIds(); } catch (error) { log(error.message); return; }
    try {
      const chosen = await navigator.hid.requestDevice({ filters: [CP2112, CUSTOM, ...ids] });
      log(chosen.length ? `Allowed: ${chosen.map(describeDevice).join(', ')}` : 'No bridge chosen.');
    } catch (error) {
      log(`The browser did not open the device list: ${error.message}`);
    }
    await refreshGranted();
    if (state.granted.length) await showInfo();
  }

  function describeDevice(d) {
    return `${d.productName || 'HID device'} (${hex4(d.vendorId)}:${hex4(d.productId)})`;
  }

  // One target per row: what the engine instance gets.
  function targets() {
    if (mode() === 'virtual') {
      const list = [];
      if ($('virtual-custom').checked) list.push({ label: 'Virtual custom board', kind: 'custom' });
      if ($('virtual-cp2112').checked) list.push({ label: 'Virtual CP2112', kind: 'cp2112' });
      return list;
    }
    return state.granted.map((device) => ({ label: describeDevice(device), device }));
  }

  // One row per target; the targets, each with its row.
  function drawRows() {
    const body = $('rows').tBodies[0];
    body.textContent = '';
    const list = targets();
    for (const target of list) {
      const row = body.insertRow();
      row.insertCell().textContent = target.label;
      const bar = row.insertCell();
      bar.className = 'bar-cell';
      bar.innerHTML = '<progress max="1" value="0"></progress><div class="figures"></div>';
      bar.querySelector('progress').setAttribute('aria-label', `Progress of ${target.label}`);
      row.insertCell().textContent = 'ready';
      target.row = row;
    }
    if (!body.rows.length) {
      const cell = body.insertRow().insertCell();
      cell.colSpan = 3;
      cell.textContent = mode() === 'virtual' ? 'Choose at least one virtual bridge.' : 'No bridge allowed yet: Connect a bridge.';
    }
    return list;
  }

  // ---- Image -------------------------------------------------------------
  async function sha256(bytes) {
    if (!crypto.subtle) return '(SHA-256 needs a secure context)';
    const digest = await crypto.subtle.digest('SHA-256', bytes);
    return [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('');
  }

  // The engine checks the file as kdtool does, with no device to touch: a
  // refusal ends the run with exit 2, a good file gets as far as looking for
  // a bridge (exit 3).
  async function takeImage(file) {
    const bytes = new Uint8Array(await file.arrayBuffer());
    const hex = /\.(hex|ihx)$/i.test(file.name) || (bytes.length > 0 && bytes[0] === 0x3a);
    const engineName = hex ? 'image.hex' : 'image.bin';
    const digest = await sha256(bytes);
    state.image = null;
    const run = await KdEngine.run({
      args: ['update', engineName, '0001', '0001', '0001'],
      files: { [engineName]: bytes },
      devices: [],
    });
    const end = run.objects.find((o) => o.type === 'end');
    if (run.exitCode === 2) {
      const reason = end && end.reason ? end.reason.replace(engineName, file.name) : 'the file was refused';
      $('image-info').textContent = `Refused: ${reason}`;
      log(`Image ${file.name} refused: ${reason}`);
      setVerdict(false, `Image refused: ${reason}`, null);
      updateButtons();
      return false;
    }
    state.image = { name: file.name, engineName, bytes, hex, sha256: digest };
    $('image-info').textContent = `${file.name}: ${bytes.length} bytes, SHA-256 ${digest}`;
    log(`Image ${file.name}: ${bytes.length} bytes, SHA-256 ${digest}`);
    $('verdict').hidden = true;
    updateButtons();
    return true;
  }

  // ---- Runs --------------------------------------------------------------
  function setVerdict(ok, text, hint) {
    const box = $('verdict');
    box.className = `verdict ${ok ? 'ok' : 'bad'}`;
    box.textContent = text;
    if (hint) {
      const h = document.createElement('span');
      h.className = 'hint';
      h.textContent = `What to do: ${hint}`;
      box.appendChild(h);
    }
    box.hidden = false;
  }

  function formatSeconds(s) {
    if (!isFinite(s) || s < 0) return '–';
    return s >= 60 ? `${Math.floor(s / 60)} min ${Math.round(s % 60)} s` : `${s.toFixed(s < 10 ? 1 : 0)} s`;
  }

  // Draws one row from its run's objects.
  function tracker(target) {
    const row = target.row;
    const bar = row.querySelector('progress');
    const figures = row.querySelector('.figures');
    const stateCell = row.cells[2];
    let started = performance.now();
    let lastProgressAt = started;
    let first = null;
    const setState = (text, cls) => { stateCell.textContent = text; stateCell.className = cls || ''; };
    setState('starting', '');
    bar.value = 0;
    figures.textContent = '';
    const waiting = setInterval(() => {
      if (performance.now() - lastProgressAt > WAITING_AFTER_MS && stateCell.textContent !== 'done') {
        setState('waiting for the controller…', 'state-wait');
      }
    }, 250);
    return {
      onJson(o) {
        if (o.type === 'start') {
          started = lastProgressAt = performance.now();
          setState('running', '');
          if (o.bridge) row.cells[0].textContent = `${target.label} — ${o.bridge.kind} ${o.bridge.id}`;
        } else if (o.type === 'progress') {
          const now = performance.now();
          lastProgressAt = now;
          // A new pass (the read-back after the write) starts its own rate.
          if (!first || o.done < first.last) first = { at: now, done: o.done };
          first.last = o.done;
          bar.max = o.total || 1;
          bar.value = o.done;
          const rate = now > first.at ? (o.done - first.done) / ((now - first.at) / 1000) : 0;
          const left = rate > 0 ? (o.total - o.done) / rate : NaN;
          const pct = o.total ? Math.floor((100 * o.done) / o.total) : 100;
          figures.textContent = `${pct} % · ${o.done} / ${o.total} bytes · ${rate > 0 ? (rate / 1024).toFixed(1) + ' KiB/s' : '–'} · ${formatSeconds(left)} left`;
          setState('running', '');
        } else if (o.type === 'end') {
          if (o.ok && bar.max > 1) bar.value = bar.max;
          figures.textContent += figures.textContent ? ` · took ${formatSeconds(o.elapsed_s)}` : `took ${formatSeconds(o.elapsed_s)}`;
          setState(o.ok ? 'done' : `failed: ${o.reason}`, o.ok ? 'state-ok' : 'state-bad');
        }
      },
      stop() { clearInterval(waiting); },
    };
  }

  function argsFor(command, outputName) {
    const image = state.image;
    const versions = [$('ver-core').value.trim(), $('ver-app').value.trim(), $('ver-para').value.trim()];
    switch (command) {
      case 'update': return ['update', image.engineName, ...versions, '--verify', ...($('force').checked ? ['--force'] : [])];
      case 'verify': return image.hex ? ['verify', image.engineName] : ['verify', image.engineName, '--at', '4000'];
      case 'dump': return ['dump', outputName];
      default: return [command];
    }
  }

  async function runOne(target, command) {
    const track = tracker(target);
    const files = state.image && (command === 'update' || command === 'verify')
      ? { [state.image.engineName]: state.image.bytes } : {};
    const args = argsFor(command, 'dump.bin');
    const env = {};
    const devices = [];
    if (target.kind) {
      args.unshift('--virtual');
      // Further KDSIM_* settings for the virtual hardware (the browser tests
      // set faults here).
      Object.assign(env, window.kdVirtualEnv || {});
      env.KDSIM_BRIDGE = target.kind;
      env.KDSIM_FLASH_OUT = 'flash.bin';
      // The virtual flash carries over from one run to the next, as a real
      // controller's does: Verify and Dump after Flash see the image.
      const kept = state.virtualFlash[target.kind];
      if (kept) {
        files['flash-in.bin'] = kept;
        env.KDSIM_FLASH_IN = 'flash-in.bin';
      }
    } else {
      devices.push(target.device);
      args.unshift('--path', 'webhid:0');
      const ids = extraIds().filter((p) => p.vendorId === target.device.vendorId && p.productId === target.device.productId);
      if (ids.length) args.unshift('--vid', hex4(ids[0].vendorId), '--pid', hex4(ids[0].productId));
    }
    log(`${target.label}: kdtool ${args.join(' ')}`);
    let run;
    try {
      run = await KdEngine.run({
        args, env, files, devices,
        onJson: (o) => track.onJson(o),
        onLine: (text) => { const t = text.replace(/\x1b\[[0-9;]*m/g, '').trimEnd(); if (t) log(`${target.label}: ${t}`); },
      });
    } catch (error) {
      track.stop();
      track.onJson({ type: 'end', ok: false, reason: error.message, elapsed_s: 0 });
      return { target, ok: false, reason: error.message, hint: null };
    }
    track.stop();
    const end = [...run.objects].reverse().find((o) => o.type === 'end');
    const info = run.objects.find((o) => o.type === 'info');
    const ok = run.exitCode === 0;
    if (!end) track.onJson({ type: 'end', ok, reason: ok ? null : `exit code ${run.exitCode}`, elapsed_s: 0 });
    const result = { target, ok, reason: end ? end.reason : (ok ? null : `exit code ${run.exitCode}`),
                     hint: end ? end.hint : null, info, run };
    if (ok && command === 'dump') {
      download(run.readFile('dump.bin'), `flash-dump-${target.kind || 'bridge'}.bin`, 'application/octet-stream');
    }
    if (target.kind) {
      try { result.flash = run.readFile('flash.bin'); } catch (error) { result.flash = null; }
      if (result.flash && result.flash.length === 0x20000) state.virtualFlash[target.kind] = result.flash;
    }
    log(`${target.label}: ${ok ? 'done' : 'FAILED: ' + result.reason}${result.hint ? ' — hint: ' + result.hint : ''}`);
    return result;
  }

  const NAMES = { update: 'Flash', verify: 'Verify', dump: 'Dump', reset: 'Reset', info: 'Information' };

  async function runAll(command) {
    if (state.running) return;
    const list = targets();
    if (!list.length) { setVerdict(false, 'No bridge to run on.', mode() === 'virtual' ? 'Choose a virtual bridge.' : 'Connect a bridge first.'); return; }
    state.running = true;
    updateButtons();
    $('verdict').hidden = true;
    const rows = drawRows();
    const results = await Promise.all(rows.map((t) => runOne(t, command)));
    state.running = false;
    updateButtons();
    const failed = results.filter((r) => !r.ok);
    const name = NAMES[command];
    if (command === 'info') {
      $('details').textContent = results.map((r) => `${r.target.label}\n${r.info ? JSON.stringify(r.info, null, 2) : r.reason}`).join('\n\n');
      $('details').hidden = false;
    }
    if (!failed.length) {
      setVerdict(true, results.length === 1 ? `${name}: done.` : `${name}: done on all ${results.length} bridges.`, null);
    } else if (results.length === 1) {
      setVerdict(false, `${name} FAILED: ${failed[0].reason}`, failed[0].hint);
    } else {
      const first = failed[0];
      setVerdict(false, `${name}: ${results.length - failed.length} of ${results.length} bridges done, ${failed.length} FAILED (${first.target.label}: ${first.reason})`, first.hint);
    }
    window.kdLastResults = results;  // for the browser tests
    return results;
  }

  async function showInfo() { return runAll('info'); }

  function updateButtons() {
    const busy = state.running;
    $('flash').disabled = busy || !state.image;
    $('verify').disabled = busy || !state.image;
    for (const id of ['info', 'dump', 'reset', 'connect']) $(id).disabled = busy;
  }

  // ---- Wiring ------------------------------------------------------------
  function wire() {
    for (const id of ['mode-virtual', 'mode-webhid']) {
      $(id).addEventListener('change', () => {
        $('virtual-panel').hidden = mode() !== 'virtual';
        $('webhid-panel').hidden = mode() !== 'webhid';
        if (mode() === 'webhid') refreshGranted(); else drawRows();
      });
    }
    for (const id of ['virtual-custom', 'virtual-cp2112']) $(id).addEventListener('change', drawRows);
    $('connect').addEventListener('click', connect);
    const drop = $('drop');
    drop.addEventListener('dragover', (e) => { e.preventDefault(); drop.classList.add('over'); });
    drop.addEventListener('dragleave', () => drop.classList.remove('over'));
    drop.addEventListener('drop', (e) => {
      e.preventDefault();
      drop.classList.remove('over');
      if (e.dataTransfer.files.length) takeImage(e.dataTransfer.files[0]);
    });
    drop.addEventListener('keydown', (e) => {
      if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); $('image-file').click(); }
    });
    $('image-file').addEventListener('change', (e) => { if (e.target.files.length) takeImage(e.target.files[0]); });
    $('flash').addEventListener('click', () => runAll('update'));
    $('verify').addEventListener('click', () => runAll('verify'));
    $('info').addEventListener('click', () => runAll('info'));
    $('dump').addEventListener('click', () => runAll('dump'));
    $('reset').addEventListener('click', () => runAll('reset'));
    $('save-log').addEventListener('click', () => download(state.log.join('\n') + '\n', 'fwdownload-web.log', 'text/plain'));
    if ('hid' in navigator) {
      navigator.hid.addEventListener('connect', refreshGranted);
      navigator.hid.addEventListener('disconnect', (e) => { log(`Disconnected: ${describeDevice(e.device)}`); refreshGranted(); });
    }
  }

  checkSupport();
  wire();
  drawRows();
  updateButtons();
  const loadStarted = performance.now();
  KdEngine.load().then(
    () => { window.kdReady = true; log(`Engine loaded in ${Math.round(performance.now() - loadStarted)} ms.`); },
    (error) => { setVerdict(false, `The engine did not load: ${error.message}`, 'Reload the page.'); });
  refreshGranted();
  window.kdPage = { takeImage, runAll, refreshGranted };  // for the browser tests
})();
