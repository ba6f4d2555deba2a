#include "app/kdtool_json.h"

#include "console/safe_text.h"

namespace {

using Json = nlohmann::ordered_json;

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
