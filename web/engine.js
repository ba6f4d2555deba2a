// The engine's JavaScript API: runs one kdtool command in an instance of the
// WebAssembly module of its own and hands each JSON object of `kdtool --json`
// to the caller. The module (kdtool.js, kdtool.wasm) is the C++ engine of
// src/app/ built by Emscripten; this file only starts it and feeds it.
//
//   await KdEngine.load()                        compiles kdtool.wasm once
//   const run = await KdEngine.run({
//     args: ['update', 'image.bin', '0102', '0003', '0010', '--verify'],
//     env: { KDSIM_BRIDGE: 'cp2112' },           KDSIM_* of a virtual run
//     files: { 'image.bin': bytes },             written before it starts
//     devices: [hidDevice],                      granted WebHID devices
//     onJson: (object) => {},                    start, progress, end, list, info
//     onLine: (text, stream) => {},              the lines a person reads
//   });
//   run.exitCode; run.objects; run.readFile('dump.bin')
//
// `--json` is always given. Each run gets a fresh instance (the engine's run
// state is process-wide, as in kdtool), so several may run at once.
(function (global) {
  'use strict';

  let compiled = null;

  // What the runtime throws to end the program (exit() and the like).
  const isExit = (error) => Boolean(error && error.name === 'ExitStatus');

  function load(url = 'kdtool.wasm') {
    if (!compiled) {
      compiled = (async () => {
        const response = await fetch(url);
        if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
        return WebAssembly.compileStreaming
          ? WebAssembly.compileStreaming(response)
          : WebAssembly.compile(await response.arrayBuffer());
      })();
      compiled.catch(() => { compiled = null; });
    }
    return compiled;
  }

  // A started instance of the module: { module, exited } where `exited`
  // resolves with the exit code once its runtime has ended.
  async function instantiate({ env = {}, files = {}, devices = [], onStdout, onStderr }) {
    const wasm = await load();
    let settle;
    const exited = new Promise((resolve, reject) => { settle = { resolve, reject }; });
    const module = await global.createKdtool({
      noInitialRun: true,
      kdHid: { devices: devices.slice() },
      // Nobody types into the engine: its standard input is empty (the
      // runtime would otherwise ask the browser's prompt() for a line).
      stdin: () => null,
      print: (text) => onStdout && onStdout(text),
      printErr: (text) => onStderr && onStderr(text),
      instantiateWasm: (imports, done) => {
        WebAssembly.instantiate(wasm, imports).then((instance) => done(instance), settle.reject);
        return {};
      },
      onExit: (code) => settle.resolve(code),
      onAbort: (what) => settle.reject(new Error(`the engine stopped: ${what}`)),
      preRun: [(m) => {
        Object.assign(m.ENV, env);
        m.FS.mkdir('/work');
        m.FS.chdir('/work');
        for (const [name, bytes] of Object.entries(files)) m.FS.writeFile(name, bytes);
      }],
    });
    return { module, exited };
  }

  // Ends the instance's runtime (its exit handlers write KDSIM_FLASH_OUT).
  function exitInstance(module, code) {
    try {
      module._exit(code);
    } catch (error) {
      if (!isExit(error)) throw error;
    }
  }

  async function run({ args, env, files, devices, onJson, onLine }) {
    const objects = [];
    const onStdout = (text) => {
      let object = null;
      try { object = JSON.parse(text); } catch (error) { object = null; }
      if (object && typeof object === 'object' && !Array.isArray(object)) {
        objects.push(object);
        if (onJson) onJson(object);
      } else if (onLine) {
        onLine(text, 'stdout');
      }
    };
    const onStderr = (text) => onLine && onLine(text, 'stderr');
    const { module, exited } = await instantiate({ env, files, devices, onStdout, onStderr });
    const argv = ['kdtool', '--json', ...args];
    const pointers = argv.map((text) => {
      const size = module.lengthBytesUTF8(text) + 1;
      const at = module._malloc(size);
      module.stringToUTF8(text, at, size);
      return at;
    });
    const table = module._malloc(4 * (pointers.length + 1));
    pointers.forEach((at, i) => { module.HEAP32[(table >> 2) + i] = at; });
    module.HEAP32[(table >> 2) + pointers.length] = 0;
    module.ccall('main', 'number', ['number', 'number'], [argv.length, table], { async: true })
      .then((code) => exitInstance(module, code))
      .catch((error) => {
        if (!isExit(error)) throw error;
      });
    const exitCode = await exited;
    return {
      exitCode,
      objects,
      readFile: (name) => module.FS.readFile(name),
    };
  }

  global.KdEngine = { load, run, instantiate, exitInstance };
})(typeof window !== 'undefined' ? window : globalThis);
