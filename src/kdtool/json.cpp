#include "kdtool/json.h"

#include "app/sha256.h"
#include "console/safe_text.h"
#include "platform/file_open.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

const std::chrono::steady_clock::time_point g_started = std::chrono::steady_clock::now();

Json escaped(const Json& value) {
  if (value.is_string()) return safe_text(value.get_ref<const std::string&>());
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& item : value) out.push_back(escaped(item));
    return out;
  }
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [key, item] : value.items()) out[safe_text(key)] = escaped(item);
    return out;
  }
  return value;
}

}  // namespace

std::string kdtool_json_text(const Json& value) { return escaped(value).dump(); }

std::string kdtool_json_utc_now() {
  const std::time_t now = std::time(nullptr);
  const std::tm* parts = std::gmtime(&now);  // read at once, on the main thread
  char text[32] = "1970-01-01T00:00:00Z";
  if (parts != nullptr) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", parts);
  return text;
}

double kdtool_json_seconds(double seconds) { return std::round(seconds * 1000) / 1000; }

double kdtool_json_elapsed_since_start() {
  return kdtool_json_seconds(std::chrono::duration<double>(std::chrono::steady_clock::now() - g_started).count());
}

Json kdtool_json_bridge(const std::string& kind, uint16_t vendor_id, uint16_t product_id, const std::string& serial,
                        const std::string& path) {
  char id[16];
  std::snprintf(id, sizeof id, "%04x:%04x", vendor_id, product_id);
  return Json{{"kind", kind}, {"id", id}, {"serial", serial}, {"path", path}};
}

Json kdtool_json_end(bool ok, int exit_code, const std::string& reason, double elapsed_s, const std::string& hint) {
  return Json{{"type", "end"},
              {"ok", ok},
              {"exit_code", exit_code},
              {"reason", ok ? Json() : Json(reason)},
              {"hint", hint.empty() ? Json() : Json(hint)},
              {"elapsed_s", kdtool_json_seconds(elapsed_s)}};
}

nlohmann::ordered_json kdtool_json_with_bridge(const nlohmann::ordered_json& object,
                                               const nlohmann::ordered_json& bridge) {
  nlohmann::ordered_json out{{"type", object.value("type", nlohmann::ordered_json())}, {"bridge", bridge}};
  for (const auto& [key, value] : object.items()) {
    if (key != "type" && key != "bridge") out[key] = value;
  }
  return out;
}

nlohmann::ordered_json kdtool_json_image_file(const std::string& file) {
  std::vector<uint8_t> bytes;
  FILE* in = platform_fopen(file.c_str(), "rb");
  uint8_t chunk[65536];
  for (size_t n; in != nullptr && (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  const bool read = in != nullptr && std::ferror(in) == 0;
  if (in != nullptr) std::fclose(in);
  if (!read) return nullptr;
  return nlohmann::ordered_json{{"name", file}, {"size", bytes.size()}, {"sha256", sha256_hex(bytes.data(), bytes.size())}};
}
