// Sleep in the browser: the engine's pauses hand the page back its event
// loop (Asyncify unwinds the engine's stack and resumes it afterwards), so
// the page draws and the device's reports arrive while the engine waits.
#include "platform/sleep.h"

#include <emscripten.h>

#include <chrono>

namespace {

// Pauses for `ms` milliseconds. A timer wakes the page
// no sooner than about 4 ms once timers nest, which would stretch the 2 ms
// pauses of an update; a message posted to itself comes back at once, so
// the last few milliseconds are waited out in such turns of the event loop.
EM_ASYNC_JS(void, web_pause, (double ms), {
  const until_ms = performance.now() + ms;
  const left = ms;
  if (left > 8) await new Promise((resolve) => setTimeout(resolve, left - 4));
  if (!Module.kdTurn) {
    const channel = new MessageChannel();
    const waiting = [];
    channel.port1.onmessage = () => { const next = waiting.shift(); if (next) next(); };
    Module.kdTurn = () => new Promise((resolve) => { waiting.push(resolve); channel.port2.postMessage(0); });
  }
  do {
    await Module.kdTurn();
  } while (performance.now() < until_ms);
});

}  // namespace

void platform_sleep_ms(uint32_t ms) {
  if (ms == 0) return;
  web_pause(ms);
}

void platform_sleep_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration<double, std::milli>(deadline - std::chrono::steady_clock::now()).count();
  if (left <= 0) return;
  web_pause(left);
}

// The browser's timers are not bound to a tick this layer could hold.
unsigned platform_sleep_timer_period(void) { return 0; }
void platform_sleep_release(void) {}
