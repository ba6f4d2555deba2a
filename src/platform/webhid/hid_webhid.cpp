// HID transport in the browser, over WebHID: the host's HID backend of the
// WebAssembly build (it defines hid_transport_system, as hid_win32.cpp does
// on Windows).
//
// The devices are those the page was granted (navigator.hid.getDevices() or
// requestDevice()), handed to this instance of the module before it runs as
// Module.kdHid.devices; path "webhid:N" is the Nth of them. WebHID has no
// serial numbers: every serial is empty, and a device is named by its path.
//
// WebHID's calls return promises; the engine's calls are synchronous.
// Asyncify bridges the two: an EM_ASYNC_JS function unwinds the engine's
// stack, awaits the promise and resumes the engine with the result. Input
// reports arrive as `inputreport` events, queued per open device and read
// with the same time limits as elsewhere; a report already queued is taken
// without a pause. A `disconnect` event for an open device fails every
// transfer on it from then on (a lost device, as hidraw's errors are).
#include "platform/hid.h"

#include <emscripten.h>

#include <cstdlib>
#include <string>

namespace {

struct WebHandle : HidHandle {
  int index = -1;
};

// ---- The JavaScript side -------------------------------------------------

// The page's state, created on first use: the devices, and per open device
// its queue of input reports, the waiter of a read in progress and whether
// it was lost. Report lengths come from the report descriptor's items, the
// report ID byte included (one byte more than the items when IDs are used).
EM_JS(int, webhid_count, (void), {
  const hid = Module.kdHid || (Module.kdHid = {});
  hid.devices = hid.devices || [];
  hid.open = hid.open || [];
  if (!hid.listening && typeof navigator !== "undefined" && navigator.hid) {
    hid.listening = true;
    navigator.hid.addEventListener("disconnect", (event) => {
      hid.devices.forEach((device, i) => {
        const state = hid.open[i];
        if (device !== event.device || !state) return;
        state.lost = true;
        if (state.waiter) state.waiter();
      });
    });
  }
  hid.lengths = (device) => {
    const longest = { input: 0, output: 0, feature: 0 };
    const visit = (collection) => {
      for (const kind of ["input", "output", "feature"]) {
        for (const report of collection[kind + "Reports"] || []) {
          let bits = 0;
          for (const item of report.items || []) bits += (item.reportSize || 0) * (item.reportCount || 0);
          const length = Math.ceil(bits / 8) + 1;  // the ID byte, 0 for unnumbered reports
          if (length > longest[kind]) longest[kind] = length;
        }
      }
      for (const child of collection.children || []) visit(child);
    };
    for (const collection of device.collections || []) visit(collection);
    return longest;
  };
  // The data bytes of feature report `id` as the descriptor declares them;
  // -1 when it does not declare that report.
  hid.featureLength = (device, id) => {
    let found = -1;
    const visit = (collection) => {
      for (const report of collection.featureReports || []) {
        if (report.reportId !== id) continue;
        let bits = 0;
        for (const item of report.items || []) bits += (item.reportSize || 0) * (item.reportCount || 0);
        found = Math.ceil(bits / 8);
      }
      for (const child of collection.children || []) visit(child);
    };
    for (const collection of device.collections || []) visit(collection);
    return found;
  };
  return hid.devices.length;
});

// vid, pid, input, output and feature report lengths of device `index`.
EM_JS(void, webhid_describe, (int index, int* fields), {
  const device = Module.kdHid.devices[index];
  const lengths = Module.kdHid.lengths(device);
  const values = [device.vendorId, device.productId, lengths.input, lengths.output, lengths.feature];
  for (let i = 0; i < values.length; ++i) HEAP32[(fields >> 2) + i] = values[i] | 0;
});

// The product name as UTF-8, malloc'ed.
EM_JS(char*, webhid_product, (int index), {
  const text = String(Module.kdHid.devices[index].productName || "");
  const size = lengthBytesUTF8(text) + 1;
  const out = _malloc(size);
  stringToUTF8(text, out, size);
  return out;
});

// Opens the device and starts queueing its input reports: 0, or -1 with the
// browser's reason (malloc'ed) in *why.
EM_ASYNC_JS(int, webhid_open, (int index, char** why), {
  const hid = Module.kdHid;
  const device = hid.devices[index];
  try {
    const closing = globalThis.kdHidClosing && globalThis.kdHidClosing.get(device);
    if (closing) await closing;
    if (!device.opened) await device.open();
  } catch (error) {
    const text = String((error && error.message) || error);
    const size = lengthBytesUTF8(text) + 1;
    const out = _malloc(size);
    stringToUTF8(text, out, size);
    HEAP32[why >> 2] = out;
    return -1;
  }
  const state = { queue: [], waiter: null, lost: false };
  state.listener = (event) => {
    const data = new Uint8Array(event.data.buffer, event.data.byteOffset, event.data.byteLength);
    const report = new Uint8Array(data.length + 1);
    report[0] = event.reportId;
    report.set(data, 1);
    state.queue.push(report);
    if (state.waiter) state.waiter();
  };
  device.addEventListener("inputreport", state.listener);
  hid.open[index] = state;
  return 0;
});

// Stops queueing and closes the device without waiting for it: a later open
// of the same device, in this instance or another, waits for the close first.
EM_JS(void, webhid_close, (int index), {
  const hid = Module.kdHid;
  const device = hid.devices[index];
  const state = hid.open[index];
  if (state) {
    device.removeEventListener("inputreport", state.listener);
    state.lost = true;
    if (state.waiter) state.waiter();
    hid.open[index] = null;
  }
  // Shared by every instance of the module in the page: the next run on this
  // device may be another instance's.
  globalThis.kdHidClosing = globalThis.kdHidClosing || new WeakMap();
  if (device.opened) globalThis.kdHidClosing.set(device, device.close().catch(() => {}));
});

// Takes the oldest queued input report: its length (at most `length` bytes
// copied), -2 when none is queued, -1 when the device is lost.
EM_JS(int, webhid_take, (int index, uint8_t* buffer, int length), {
  const state = Module.kdHid.open[index];
  if (!state) return -1;
  if (state.queue.length > 0) {
    const report = state.queue.shift();
    const n = Math.min(report.length, length);
    HEAPU8.set(report.subarray(0, n), buffer);
    return n;
  }
  return state.lost ? -1 : -2;
});

// Waits until an input report is queued, the device is lost or `timeout_ms`
// has passed (-1: no limit).
EM_ASYNC_JS(void, webhid_wait, (int index, int timeout_ms), {
  const state = Module.kdHid.open[index];
  if (!state || state.lost || state.queue.length > 0) return;
  await new Promise((resolve) => {
    let timer = null;
    state.waiter = () => {
      state.waiter = null;
      if (timer !== null) clearTimeout(timer);
      resolve();
    };
    if (timeout_ms >= 0) timer = setTimeout(state.waiter, timeout_ms);
  });
});

// One output report (kind 0) or feature report (kind 1): the bytes sent,
// the report ID included, or -1.
EM_ASYNC_JS(int, webhid_send, (int index, int kind, const uint8_t* data, int length), {
  const hid = Module.kdHid;
  const state = hid.open[index];
  if (!state || state.lost || length < 1) return -1;
  const id = HEAPU8[data];
  const body = HEAPU8.slice(data + 1, data + length);
  try {
    const device = hid.devices[index];
    if (kind === 0) await device.sendReport(id, body);
    else await device.sendFeatureReport(id, body);
  } catch (error) {
    state.lost = true;
    return -1;
  }
  return state.lost ? -1 : length;
});

// A feature report whose ID is buffer[0]: its length, ID included, or -1.
// Chromium hands a numbered report back with its ID as the first byte.
EM_ASYNC_JS(int, webhid_get_feature, (int index, uint8_t* buffer, int length), {
  const hid = Module.kdHid;
  const state = hid.open[index];
  if (!state || state.lost || length < 1) return -1;
  const id = HEAPU8[buffer];
  let view;
  try {
    view = await hid.devices[index].receiveFeatureReport(id);
  } catch (error) {
    state.lost = true;
    return -1;
  }
  if (state.lost) return -1;
  let data = new Uint8Array(view.buffer, view.byteOffset, view.byteLength);
  // Without the ID the report has the length its descriptor gives; one
  // byte more (or, where the descriptor does not say, a first byte equal to
  // the ID) is the ID in front.
  const declared = hid.featureLength(hid.devices[index], id);
  const withId = declared >= 0 ? data.length === declared + 1 : data.length > 0 && data[0] === id;
  if (id !== 0 && withId) data = data.subarray(1);
  const n = Math.min(data.length + 1, length);
  HEAPU8[buffer] = id;
  HEAPU8.set(data.subarray(0, n - 1), buffer + 1);
  return n;
});

// ---- The backend ---------------------------------------------------------

constexpr char kPathPrefix[] = "webhid:";

int index_of(const std::string& path) {
  const std::string prefix = kPathPrefix;
  if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return -1;
  int index = 0;
  for (size_t i = prefix.size(); i < path.size(); ++i) {
    if (path[i] < '0' || path[i] > '9' || index > 9999) return -1;
    index = index * 10 + (path[i] - '0');
  }
  return index < webhid_count() ? index : -1;
}

int web_index(HidHandle* handle) { return handle != nullptr ? static_cast<WebHandle*>(handle)->index : -1; }

int web_startup(void) {
  webhid_count();
  return 0;
}

std::vector<HidDeviceInfo> web_enumerate(uint16_t vendor_id, uint16_t product_id, const std::string& path) {
  std::vector<HidDeviceInfo> found;
  const int count = webhid_count();
  for (int i = 0; i < count; ++i) {
    int fields[5] = {};
    webhid_describe(i, fields);
    HidDeviceInfo info;
    info.path = kPathPrefix + std::to_string(i);
    info.vendor_id = static_cast<uint16_t>(fields[0]);
    info.product_id = static_cast<uint16_t>(fields[1]);
    if (vendor_id != 0 && info.vendor_id != vendor_id) continue;
    if (product_id != 0 && info.product_id != product_id) continue;
    if (!path.empty() && info.path != path) continue;
    info.input_report_length = static_cast<uint16_t>(fields[2]);
    info.output_report_length = static_cast<uint16_t>(fields[3]);
    info.feature_report_length = static_cast<uint16_t>(fields[4]);
    char* product = webhid_product(i);
    info.product = product;
    std::free(product);
    found.push_back(std::move(info));
  }
  return found;
}

HidHandle* web_open(const std::string& path, std::string* why) {
  const int index = index_of(path);
  if (index < 0) {
    if (why) *why = "no such device";
    return nullptr;
  }
  char* reason = nullptr;
  if (webhid_open(index, &reason) != 0) {
    if (why) *why = std::string("cannot be opened: ") + (reason != nullptr ? reason : "refused by the browser");
    std::free(reason);
    return nullptr;
  }
  auto* handle = new WebHandle;
  handle->index = index;
  return handle;
}

void web_close(HidHandle* handle) {
  if (handle == nullptr) return;
  webhid_close(web_index(handle));
  delete static_cast<WebHandle*>(handle);
}

int web_write(HidHandle* handle, const uint8_t* data, size_t length) {
  if (handle == nullptr) return -1;
  return webhid_send(web_index(handle), 0, data, static_cast<int>(length));
}

int web_read(HidHandle* handle, uint8_t* buffer, size_t length, int timeout_ms) {
  if (handle == nullptr) return -1;
  const int index = web_index(handle);
  int n = webhid_take(index, buffer, static_cast<int>(length));
  if (n != -2) return n;
  if (timeout_ms == 0) return 0;
  webhid_wait(index, timeout_ms < 0 ? -1 : timeout_ms);
  n = webhid_take(index, buffer, static_cast<int>(length));
  return n == -2 ? 0 : n;
}

int web_send_feature(HidHandle* handle, const uint8_t* data, size_t length) {
  if (handle == nullptr) return -1;
  return webhid_send(web_index(handle), 1, data, static_cast<int>(length));
}

int web_get_feature(HidHandle* handle, uint8_t* buffer, size_t length) {
  if (handle == nullptr) return -1;
  return webhid_get_feature(web_index(handle), buffer, static_cast<int>(length));
}

}  // namespace

const HidTransport hid_transport_system = {
    "webhid",  web_startup, web_enumerate,    web_open,       web_close,
    web_write, web_read,    web_send_feature, web_get_feature,
};
