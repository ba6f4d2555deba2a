// The one writer of kdtool's JSON text: the documents of list and info, the
// JSON Lines of the operations, and the lines of --all.
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

#include <string>

// The value as one line of JSON, without the newline.
std::string kdtool_json_text(const nlohmann::ordered_json& value);
