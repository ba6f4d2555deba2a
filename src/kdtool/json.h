// The one writer of kdtool's JSON text: the documents of list and info, the
// JSON Lines of the operations, and the lines of --all. docs/json.md
// describes every object, docs/schema/ holds a JSON Schema for each.
//
// Every string in the value, keys included, is passed through safe_text()
// before it is written: a serial, a path, a product name or a file name
// shows control bytes, DEL and bytes that are not UTF-8 as \xNN, exactly as
// the text lines show them. The serialisation therefore never fails on such
// bytes, and a run always ends with its end object. safe_text() leaves a
// backslash as it is, so text already escaped once (a child's line passed
// on by --all) comes out unchanged.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

// The version of the JSON objects' shape, in every start object and in the
// list, info and summary documents; raised when a field changes meaning or
// goes away (new fields leave it as it is).
constexpr int KDTOOL_JSON_SCHEMA = 1;

// The value as one line of JSON, without the newline.
std::string kdtool_json_text(const nlohmann::ordered_json& value);

// The time now as ISO 8601 UTC to the second ("2026-12-07T15:31:08Z"): the
// "at" of a start object.
std::string kdtool_json_utc_now();

// Seconds to the millisecond: every "elapsed_s".
double kdtool_json_seconds(double seconds);

// Seconds since kdtool started, for the end object of a run that failed
// before it began.
double kdtool_json_elapsed_since_start();

// A bridge as every object names it: {"kind": "custom"|"cp2112", "id":
// "vvvv:pppp", "serial", "path"}.
nlohmann::ordered_json kdtool_json_bridge(const std::string& kind, uint16_t vendor_id, uint16_t product_id,
                                          const std::string& serial, const std::string& path);

// The fields every end object has, in their order: type, ok, exit_code,
// reason (null when ok), hint (null, or one line on what to do next),
// elapsed_s. Command-specific fields follow.
nlohmann::ordered_json kdtool_json_end(bool ok, int exit_code, const std::string& reason, double elapsed_s,
                                        const std::string& hint = {});

// A child's object as a runner of several (--all, station) passes it on:
// its type, then the bridge it ran on, then its own fields.
nlohmann::ordered_json kdtool_json_with_bridge(const nlohmann::ordered_json& object,
                                               const nlohmann::ordered_json& bridge);

// The file as it is, as sha256sum sees it: {"name", "size", "sha256"}, the
// image object of a runner's summary and of a station's records. Null when
// the file cannot be read to its end.
nlohmann::ordered_json kdtool_json_image_file(const std::string& file);
