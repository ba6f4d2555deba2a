// A stand-in for navigator.hid, injected before the page loads. Its devices
// are the virtual bridges of sim/ running in instances of the same
// WebAssembly module (one per bridge, each with a controller and a flash of
// its own), so that every report the engine sends or receives passes
// through the real hid_webhid code and reaches a virtual board.
//   window.kdFake.ready            resolves once the boards are up
//   window.kdFake.flash(i)         the flash of board i, read at its exit
//   window.kdFake.disconnect(i)    pulls board i's plug: `disconnect` event
(function () {
  'use strict';
  const KINDS = ['custom', 'cp2112'];
  const hid = new EventTarget();
  const devices = [];

  const until = async (test) => { while (!test()) await new Promise((r) => setTimeout(r, 20)); };

  function reportsOf(length) {
    return length > 1 ? [{ reportId: 0, items: [{ reportSize: 8, reportCount: length - 1 }] }] : [];
  }

  class FakeDevice extends EventTarget {
    constructor(module, lengths) {
      super();
      this.module = module;
      [this.vendorId, this.productId, this.inputLength, this.outputLength, this.featureLength] = lengths;
      this.productName = this.vendorId === 0x10c4 ? 'CP2112 HID USB-to-SMBus Bridge' : 'KD63507 bridge';
      this.collections = [{ usagePage: 0xff00, usage: 1, type: 1, children: [],
                            inputReports: reportsOf(this.inputLength), outputReports: reportsOf(this.outputLength),
                            featureReports: reportsOf(this.featureLength) }];
      this.opened = false;
      this.gone = false;
      this.buffer = module._malloc(4096);
    }
    check() { if (this.gone || !this.opened) throw new DOMException('The device is not open.', 'InvalidStateError'); }
    async open() {
      if (this.gone) throw new DOMException('Failed to open the device.', 'NotAllowedError');
      if (this.opened || this.closing) throw new DOMException('Already open.', 'InvalidStateError');
      if (this.module._kdweb_device_open(0) !== 0) throw new DOMException('Failed to open the device.', 'NotAllowedError');
      this.opened = true;
      this.poller = setInterval(() => this.poll(), 5);
    }
    // As in the browser, the device stays open until the close completes.
    async close() {
      clearInterval(this.poller);
      if (!this.opened) return;
      this.closing = true;
      await new Promise((r) => setTimeout(r, 100));
      this.module._kdweb_device_close(0);
      this.opened = false;
      this.closing = false;
    }
    put(id, data) {
      const bytes = new Uint8Array(data.buffer ? data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength) : data);
      this.module.HEAPU8[this.buffer] = id;
      this.module.HEAPU8.set(bytes, this.buffer + 1);
      return bytes.length + 1;
    }
    // Hands each answer the board has ready to the page, as the browser does.
    poll() {
      if (!this.opened || this.gone) return;
      for (;;) {
        const n = this.module._kdweb_device_input(0, this.buffer, this.inputLength || 64);
        if (n <= 0) return;
        const bytes = this.module.HEAPU8.slice(this.buffer, this.buffer + n);
        const event = new Event('inputreport');
        event.device = this;
        event.reportId = bytes[0];
        event.data = new DataView(bytes.buffer, 1);
        this.dispatchEvent(event);
      }
    }
    async sendReport(id, data) {
      this.check();
      const length = this.put(id, data);
      if (this.module._kdweb_device_output(0, this.buffer, length) < 0) throw new DOMException('Failed to write the report.', 'NotAllowedError');
      setTimeout(() => this.poll(), 0);
    }
    async sendFeatureReport(id, data) {
      this.check();
      const length = this.put(id, data);
      if (this.module._kdweb_device_set_feature(0, this.buffer, length) < 0) throw new DOMException('Failed to write the feature report.', 'NotAllowedError');
      setTimeout(() => this.poll(), 0);
    }
    async receiveFeatureReport(id) {
      this.check();
      this.module.HEAPU8[this.buffer] = id;
      const n = this.module._kdweb_device_get_feature(0, this.buffer, this.featureLength || 64);
      if (n < 0) throw new DOMException('Failed to receive the feature report.', 'NotAllowedError');
      // Chromium hands a numbered feature report back with its ID first.
      const bytes = this.module.HEAPU8.slice(this.buffer + (id === 0 ? 1 : 0), this.buffer + n);
      return new DataView(bytes.buffer);
    }
  }

  const ready = (async () => {
    await until(() => window.KdEngine && window.createKdtool);
    for (const kind of KINDS) {
      const { module, exited } = await window.KdEngine.instantiate({
        env: { KDSIM_BRIDGE: kind, KDSIM_FLASH_OUT: 'flash.bin' },
      });
      if (module._kdweb_devices_start() !== 1) throw new Error(`the virtual ${kind} did not start`);
      const fields = module._malloc(20);
      module._kdweb_device_describe(0, fields);
      const lengths = Array.from(module.HEAP32.subarray(fields >> 2, (fields >> 2) + 5));
      const device = new FakeDevice(module, lengths);
      device.exited = exited;
      devices.push(device);
    }
  })();

  hid.getDevices = async () => { await ready; return devices.filter((d) => !d.gone); };
  hid.requestDevice = async () => { await ready; return devices.filter((d) => !d.gone); };
  Object.defineProperty(navigator, 'hid', { value: hid, configurable: true });

  window.kdFake = {
    ready,
    devices,
    async flash(i) {
      const device = devices[i];
      window.KdEngine.exitInstance(device.module, 0);
      await device.exited;
      return device.module.FS.readFile('flash.bin');
    },
    disconnect(i) {
      const device = devices[i];
      device.gone = true;
      device.module._kdweb_device_unplug(0);
      clearInterval(device.poller);
      const event = new Event('disconnect');
      event.device = device;
      hid.dispatchEvent(event);
    },
  };
})();
